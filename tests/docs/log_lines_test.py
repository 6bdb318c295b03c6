"""Every line the program writes or prints (WriteLog, printf, the parser's
thrown messages) has a row in a table of docs/operations.md headed "| Line "
or "| Message ", and every such row is a line the program writes; so is the
start of every other line the guide quotes of a server ("<name>" or a name
in quotes, then words) or of an update ([Update] ...). The guide's
placeholders (<name>, <n>) stand for the program's %s, %u, ... Every metric
that the alert rules beside the guide name is one the program writes."""
import os
import re
import sys

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CALL = re.compile(r'\b(WriteLog|printf|throw)\(?\s*((?:"(?:[^"\\]|\\.)*"\s*)+)')


def shape(text):
    text = re.sub(r'%[-0-9.]*l*[sudixc]', '<>', text.rstrip('\n'))
    return re.sub(r'<[^<>]*>', '<>', text)


program = set()
for folder, _, files in os.walk(os.path.join(TOP, 'src')):
    for name in files:
        for call in CALL.finditer(open(os.path.join(folder, name)).read()):
            text = ''.join(re.findall(r'"((?:[^"\\]|\\.)*)"', call.group(2)))
            text = text.encode().decode('unicode_escape')
            program.add(shape(text + (' at line %u' if call.group(1) == 'throw' else '')))
program.discard('<> at line <>')

guide, table = set(), False
for row in open(os.path.join(TOP, 'docs', 'operations.md')):
    table = row.startswith(('| Line ', '| Message ')) or (table and row.startswith('|'))
    quote = re.match(r'\| `([^`]+)` \|', row)
    if table and quote:
        guide.add(shape(quote.group(1).replace('\\|', '|')))


def writes(pattern, line):
    return re.fullmatch(re.escape(pattern).replace('<>', '.+'), line) is not None


def begins(pattern, quote):
    """Whether the quote is the pattern's line, or its start (names in quotes and numbers as placeholders)."""
    names = lambda line: re.sub(r'\b\d+\b', '<>', re.sub(r'"[^"]*"', '"<>"', line))
    return writes(pattern, quote) or names(pattern).startswith(names(quote))


text = open(os.path.join(TOP, 'docs', 'operations.md')).read()
quoted = {shape(q) for q in re.findall(r'`((?:"[^"`]+" [a-z]|\[Update\] )[^`]*)`', text)}
bad = ['not in the guide: ' + p for p in sorted(program) if not any(writes(p, g) for g in guide)]
source = ''.join(open(os.path.join(d, n)).read() for d, _, ns in os.walk(os.path.join(TOP, 'src')) for n in ns)
rules = set(re.findall(r'corvane_\w+(?![\w.])', open(os.path.join(TOP, 'docs', 'corvane.rules.yml')).read()))
bad += ['not a metric of the program: ' + m for m in sorted(rules) if f'"{m}"' not in source]
bad += ['not written by the program: ' + g for g in sorted(guide | quoted)
        if not any(writes(p, g) if g in guide else begins(p, g) for p in program)]
print('\n'.join(bad + [f'{len(program)} lines of the program; the guide has {len(guide)} in its tables, {len(quoted)} more quotes']))
sys.exit(1 if bad else 0)
