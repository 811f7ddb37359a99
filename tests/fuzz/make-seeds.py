#!/usr/bin/env python3
"""Writes the starting seeds of every harness into corpus/<harness>/. The files are committed;
run this again only to start a corpus afresh (scripts/fuzz.sh adds what the fuzzers find)."""
import io
import pathlib
import stat
import zipfile

here = pathlib.Path(__file__).resolve().parent


def write(harness, name, data):
    folder = here / 'corpus' / harness
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode())


# Reply reader: the reply, then the piece sizes (read back to front) and their count.
def reply(name, text, sizes):
    write('replyreader', name, text.encode() + bytes(reversed(sizes)) + bytes([len(sizes)]))


update = ('<request project="orvi" name="core" type="app"><version>7.1</version>'
          '<description>Zażółć</description><link>http://h/core.zip</link>'
          '<critical>true</critical><timestamp>4294967295</timestamp></request>')
reply('one-update', '<?xml version="1.0"?><updates>' + update + '</updates>', [10, 1, 40])
reply('answers', '<r><request name="a"><latest/></request><request><noSuchUpdate/></request>'
      '<x><request><noSuchComponent/></request>' + update + '</x></r>', [3, 3, 3, 200])
reply('trailing', '<r/><r/>', [4])
reply('doctype', '<!DOCTYPE r [<!ENTITY e "v">]><r><request><version>&e;</version></request></r>',
      [0, 20])
reply('utf8-split', '<r><request name="\u00e9\u4e2d"/></r>', [17, 1, 1])
reply('unclosed', '<r><request>', [2])

# Inventory and request: what the main application prints.
write('updatequery', 'plain', 'log\n<s>ABC</s>\nmore')
write('updatequery', 'latin1', b'<s>\xe9\x00\xff</s>')
write('updatequery', 'twice', '<s>a<s>b</s>c</s>')
write('updatequery', 'close-first', '</s>x<s>tail')
write('updatequery', 'overlap', '<s>/s>')

# Package descriptor.
write('packagedescriptor', 'package',
      '<?xml version="1.0" encoding="UTF-8"?>\n<package project="orvi" name="core" type="app">\n'
      '<file name="a.dll" path="plugins" action="ADD"/>\n<file name="b" action="remove"/>\n'
      '</package>\n')
write('packagedescriptor', 'latin1', b'<?xml version="1.0" encoding="ISO-8859-1"?>'
      b'<x><file name="\xe9" path="p/q"/></x>')
write('packagedescriptor', 'broken', '<update>\n<file name="a">\n</update>\n')
write('packagedescriptor', 'entities', '<!DOCTYPE p [<!ENTITY n "x">]><p><file name="&n;&amp;"/></p>')

# Download links.
for name, link in [('http', 'http://host/core.zip'), ('https-port', 'https://h:8443/d/x.zip?q#f'),
                   ('dotdot', 'http://h/../x.zip'), ('escaped', 'http://h/%2e%2e/%2E%2e%2fx'),
                   ('backslash', 'http://h/a\\..\\..\\x'), ('ftp', 'ftp://h/x.zip'),
                   ('no-host', 'http:///x.zip'), ('latin1', 'http://h/\xe9.zip')]:
    write('downloadlink', name, link.encode('latin-1'))


# Archives: plain entries, folders, and names or links that try to leave the target.
def archive(name, entries):
    data = io.BytesIO()
    with zipfile.ZipFile(data, 'w', zipfile.ZIP_DEFLATED) as z:
        for entry, contents, mode in entries:
            info = zipfile.ZipInfo(entry, date_time=(1980, 1, 1, 0, 0, 0))
            info.compress_type = zipfile.ZIP_DEFLATED
            info.create_system = 3
            info.external_attr = mode << 16
            z.writestr(info, contents)
    write('archiveextractor', name, data.getvalue())


regular = stat.S_IFREG | 0o644
link = stat.S_IFLNK | 0o777
archive('package', [('core.xml', '<package name="core"/>', regular), ('bin/', '', stat.S_IFDIR | 0o755),
                    ('bin/a.dll', 'a' * 100, regular)])
archive('dotdot', [('ok', 'x', regular), ('../escaped', 'x', regular), ('a/../../b', 'x', regular)])
archive('absolute', [('/tmp/orvi-fuzz-absolute', 'x', regular)])
archive('symlink', [('link', '../../../..', link), ('link/escaped', 'x', regular)])
archive('symlink-absolute', [('abs', '/tmp', link), ('abs/x', 'x', regular)])
archive('backslash', [('..\\x', 'x', regular), ('c:x', 'x', regular)])
