"""Renders the guide to one HTML page for the package: cmark-gfm converts the
Markdown (tables included); each heading gets the anchor that the guide's own
links name, as on a repository's page (lower case, punctuation dropped, blanks
made hyphens, a repeated one numbered); a link to no heading fails the build.
Usage: guide_html.py CMARK_GFM GUIDE.md OUT.html"""
import html
import re
import subprocess
import sys

cmark, source, target = sys.argv[1:4]
body = subprocess.run([cmark, '--extension', 'table', source], check=True,
                      capture_output=True, text=True, encoding='utf-8').stdout
seen = {}


def anchor(match):
    text = html.unescape(re.sub(r'<[^>]+>', '', match.group(2)))
    slug = re.sub(r'[^\w\- ]', '', text.lower()).replace(' ', '-')
    seen[slug] = seen.get(slug, -1) + 1
    slug += f'-{seen[slug]}' if seen[slug] else ''
    return f'<h{match.group(1)} id="{slug}">{match.group(2)}</h{match.group(1)}>'


body = re.sub(r'<h([1-6])>(.*?)</h\1>', anchor, body)
broken = set(re.findall(r'href="#([^"]*)"', body)) - set(re.findall(r' id="([^"]*)"', body))
if broken:
    sys.exit(f'{source}: links to no heading: {", ".join(sorted(broken))}')
title = re.search(r'<h1[^>]*>(.*?)</h1>', body)
with open(target, 'w', encoding='utf-8') as page:
    page.write('<!DOCTYPE html>\n<html><head><meta charset="utf-8">\n'
               f'<title>{title.group(1) if title else "Corvane"}</title>\n<style>\n'
               'body { font-family: sans-serif; max-width: 60em; margin: auto; padding: 0 1em; }\n'
               'table { border-collapse: collapse; }\n'
               'th, td { border: 1px solid #999; padding: 0.2em 0.5em; vertical-align: top; }\n'
               'code, pre { background: #f3f3f3; }\n</style></head><body>\n')
    page.write(body)
    page.write('</body></html>\n')
