#pragma once

#include <QString>

#include <vector>

class SettingsStore;

// The replacements applied to a page's source before a page-mode page is saved: an ordered list
// of (text to find, replacement) pairs and a switch. Both live in the settings store and are
// written the moment they change.
class PageSourceReplacements
{
public:
    struct Pair
    {
        QString find;
        QString replacement;
        bool operator==(const Pair &other) const
        {
            return find == other.find && replacement == other.replacement;
        }
    };

    static QString keyEnabled(); // "替换源代码": "1" or "0"
    static QString keyPairs();   // "替换内容": see encode()

    // Reads the switch and the pairs from the store at once.
    explicit PageSourceReplacements(SettingsStore &store);

    void load();

    bool enabled() const { return m_enabled; }
    void setEnabled(bool on);

    const std::vector<Pair> &pairs() const { return m_pairs; }
    int count() const { return static_cast<int>(m_pairs.size()); }
    // Appends a pair; an empty text to find is refused (it would match between every character).
    bool add(const QString &find, const QString &replacement);
    // Removes the pair at the 0-based index; false when there is none.
    bool removeAt(int index);

    // While switched on, every pair in list order replaces all occurrences of its text
    // (case-sensitive, plain text, no re-scan of inserted text). Switched off: unchanged.
    QString apply(const QString &source) const;

    // The stored form of the pairs: one line per pair, the two texts separated by a TAB, lines
    // separated by LF; inside each text "\" is written "\\", TAB "\t", LF "\n" and CR "\r", so
    // any text survives. decode() skips lines without a TAB or with an empty text to find.
    static QString encode(const std::vector<Pair> &pairs);
    static std::vector<Pair> decode(const QString &stored);

private:
    void storePairs();

    SettingsStore &m_store;
    bool m_enabled = false;
    std::vector<Pair> m_pairs;
};
