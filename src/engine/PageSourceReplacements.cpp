#include "engine/PageSourceReplacements.h"

#include "platform/SettingsStore.h"

#include <QStringList>

using namespace Qt::Literals::StringLiterals;

namespace {

QString escaped(const QString &text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        switch (c.unicode()) {
        case u'\\': out += u"\\\\"_s; break;
        case u'\t': out += u"\\t"_s; break;
        case u'\n': out += u"\\n"_s; break;
        case u'\r': out += u"\\r"_s; break;
        default: out += c;
        }
    }
    return out;
}

QString unescaped(QStringView text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != u'\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const QChar next = text[++i];
        switch (next.unicode()) {
        case u't': out += u'\t'; break;
        case u'n': out += u'\n'; break;
        case u'r': out += u'\r'; break;
        default: out += next; // "\\" and any stray escape stand for the character itself
        }
    }
    return out;
}

} // namespace

QString PageSourceReplacements::keyEnabled() { return u"替换源代码"_s; }
QString PageSourceReplacements::keyPairs() { return u"替换内容"_s; }

PageSourceReplacements::PageSourceReplacements(SettingsStore &store)
    : m_store(store)
{
    load();
}

void PageSourceReplacements::load()
{
    m_enabled = m_store.value(keyEnabled(), u"0"_s) == u"1"_s;
    m_pairs = decode(m_store.value(keyPairs(), QString()));
}

void PageSourceReplacements::setEnabled(bool on)
{
    m_enabled = on;
    m_store.setValue(keyEnabled(), on ? u"1"_s : u"0"_s);
}

bool PageSourceReplacements::add(const QString &find, const QString &replacement)
{
    if (find.isEmpty())
        return false;
    m_pairs.push_back({find, replacement});
    storePairs();
    return true;
}

bool PageSourceReplacements::removeAt(int index)
{
    if (index < 0 || index >= count())
        return false;
    m_pairs.erase(m_pairs.begin() + index);
    storePairs();
    return true;
}

QString PageSourceReplacements::apply(const QString &source) const
{
    if (!m_enabled)
        return source;
    QString text = source;
    for (const Pair &pair : m_pairs)
        text.replace(pair.find, pair.replacement, Qt::CaseSensitive);
    return text;
}

QString PageSourceReplacements::encode(const std::vector<Pair> &pairs)
{
    QStringList lines;
    lines.reserve(static_cast<qsizetype>(pairs.size()));
    for (const Pair &pair : pairs)
        lines.append(escaped(pair.find) + u'\t' + escaped(pair.replacement));
    return lines.join(u'\n');
}

std::vector<PageSourceReplacements::Pair> PageSourceReplacements::decode(const QString &stored)
{
    std::vector<Pair> pairs;
    const QStringView all(stored);
    for (const QStringView line : all.tokenize(u'\n', Qt::SkipEmptyParts)) {
        const qsizetype tab = line.indexOf(u'\t');
        if (tab < 0)
            continue;
        Pair pair{unescaped(line.left(tab)), unescaped(line.mid(tab + 1))};
        if (!pair.find.isEmpty())
            pairs.push_back(std::move(pair));
    }
    return pairs;
}

void PageSourceReplacements::storePairs()
{
    m_store.setValue(keyPairs(), encode(m_pairs));
}
