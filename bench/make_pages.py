#!/usr/bin/env python3
"""Writes the pages corpus of bench/run: COUNT small web pages of about SIZE bytes each, named
p1.htm ... pCOUNT.htm, in FOLDER.

    make_pages.py FOLDER [--count 2000] [--size 8192]

Each page is ordinary HTML (a head with a title and a style sheet link, a body with a menu,
headings, paragraphs and lists of links to other pages of the corpus, relative and absolute, and
to outside addresses that are never fetched). The text is drawn from a fixed seed, so the corpus
comes out the same every time.
"""
import argparse
import os
import random

WORDS = (
    "river harbour lantern meadow copper orchard signal winter garden valley market station "
    "letter archive bridge harvest county ledger mill quarry chapel tide beacon northern "
    "southern old new annual report notes guide history survey index records weather walks "
    "the of and in a to for with on at from by about near under over between after before"
).split()
TOPICS = ["Harbour notes", "Mill records", "Valley walks", "Parish ledger", "Station history",
          "Orchard survey", "Market days", "Bridge repairs", "Winter weather", "Quarry archive"]


def sentence(rng):
    words = [rng.choice(WORDS) for _ in range(rng.randint(8, 18))]
    return words[0].capitalize() + " " + " ".join(words[1:]) + "."


def page(i, count, size, rng):
    topic = rng.choice(TOPICS)
    title = f"{topic} \u2013 page {i}"
    head = (
        "<html>\n<head>\n"
        '<meta charset="utf-8">\n'
        f"<title>{title}</title>\n"
        '<meta name="viewport" content="width=device-width, initial-scale=1">\n'
        '<link rel="stylesheet" href="../css/site.css">\n'
        "</head>\n<body>\n"
        '<div class="menu"><a href="p1.htm">Home</a> | '
        f'<a href="p{max(1, i - 1)}.htm">Previous</a> | <a href="p{min(count, i + 1)}.htm">Next</a> | '
        '<a href="/pages/p2.htm">Contents</a> | <a href="https://example.org/about.html">About</a></div>\n'
        f"<h1>{title}</h1>\n"
    )
    tail = (
        '<div class="foot"><img src="img/logo.png" alt="logo" width="32" height="32"> '
        f'Last changed 2024-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}. '
        '<a href="mailto:editor@example.org">Write to the editor</a></div>\n'
        "</body>\n</html>\n"
    )
    parts = [head]
    length = len(head.encode()) + len(tail.encode())
    section = 0
    while length < size:
        section += 1
        block = [f"<h2>Section {section}</h2>\n", "<p>" + " ".join(sentence(rng) for _ in range(3)) + "</p>\n", "<ul>\n"]
        for _ in range(rng.randint(3, 6)):
            target = rng.randint(1, count)
            href = rng.choice([f"p{target}.htm", f"/pages/p{target}.htm", f"./p{target}.htm?from={i}#s{section}",
                               f"https://example.org/{rng.choice(WORDS)}/{target}.html"])
            block.append(f'<li><a href="{href}">{" ".join(rng.choice(WORDS) for _ in range(3))}</a></li>\n')
        block.append("</ul>\n")
        text = "".join(block)
        if length + len(text.encode()) > size + 200:
            break
        parts.append(text)
        length += len(text.encode())
    parts.append(tail)
    return "".join(parts).encode()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("folder")
    parser.add_argument("--count", type=int, default=2000)
    parser.add_argument("--size", type=int, default=8192)
    args = parser.parse_args()
    os.makedirs(args.folder, exist_ok=True)
    rng = random.Random(20261207)
    for i in range(1, args.count + 1):
        path = os.path.join(args.folder, f"p{i}.htm")
        with open(path + ".part", "wb") as f:
            f.write(page(i, args.count, args.size, rng))
        os.replace(path + ".part", path)


if __name__ == "__main__":
    main()
