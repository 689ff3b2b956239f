#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into corpus/<Target>/ beside this script.

The seeds are small, valid or nearly valid inputs of each target's format, so the fuzzer starts
from the shapes the code expects. Run it again after changing a seed; the files are committed.
"""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def record(app, module, prefix, text, client_time=45358.587, marker=0, total=None):
    """A log record as clients send it: 45-byte header, then the four texts."""
    app, module, prefix, text = (s.encode() if isinstance(s, str) else s
                                 for s in (app, module, prefix, text))
    size = 45 + len(app) + len(module) + len(prefix) + len(text)
    offsets = []
    at = 45
    for field in (app, module, prefix, text):
        offsets.append((at, len(field)))
        at += len(field)
    header = struct.pack('<BI', marker, size if total is None else total)
    for offset, length in offsets[:3]:
        header += struct.pack('<II', offset, length)
    header += struct.pack('<d', client_time)
    header += struct.pack('<II', *offsets[3])
    return header + app + module + prefix + text


def tpkt(payload):
    return b'\x03\x00' + struct.pack('>H', len(payload) + 4) + payload


def write(target, name, data):
    folder = os.path.join(HERE, 'corpus', target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), 'wb') as f:
        f.write(data)


def tpkt_seeds():
    one = tpkt(record('Billing', 'Core', '', 'hello'))
    # The last byte is the count of piece sizes, taken from the end of the input.
    write('TPKTReceiveFilter', 'one-frame', one + b'\x00')
    write('TPKTReceiveFilter', 'two-frames-split',
          one + tpkt(b'x') + b'\x05\x00\x03\x00\x01\x00\x02\x03')
    write('TPKTReceiveFilter', 'stray-byte-then-frames', b'\xff' + tpkt(b'a') + tpkt(b'b') + b'\x00')
    write('TPKTReceiveFilter', 'probe-and-odd-lengths',
          b'\x03\x00\x00\x04' + b'\x03\x00\x00\x00' + b'\x03\x00\x00\x02' + tpkt(b'z') + b'\x00')
    write('TPKTReceiveFilter', 'incomplete-tail', one + one[:3] + b'\x00')


def record_seeds():
    write('RecordDecoder', 'record', record('Billing', 'Core', 'audit', 'payment 17 accepted'))
    write('RecordDecoder', 'empty-fields', record('', '', '', '', client_time=0))
    write('RecordDecoder', 'total-too-small', record('a', 'b', 'c', 'text', total=46))
    bad = bytearray(record('a', 'b', 'c', 'd'))
    bad[37:45] = struct.pack('<II', 0xFFFFFFFF, 2)
    write('RecordDecoder', 'offset-wraps', bytes(bad))
    write('RecordDecoder', 'syslog-like', b'<13>Mar  7 14:05:09 host app: text \r\n\x00')


def common_seeds():
    write('CommonSection', 'defaults',
          b'[Common]\nServicePort=30000\nRunMode=0\nLogMode=1\nBaseCatalog=/srv/kelvra/Logs/\n'
          b'ModuleNameAsFilePrefix=1\nTimePlacementMask=yyyy_mm_dd\n')
    write('CommonSection', 'values-crlf',
          b'; comment\r\n[common]\r\nserviceport = 0x1F4\r\nSysLogPort=$FFFFFFFF\r\n'
          b'LogMode=-2\r\nBaseCatalog="  spaced  "\r\nModuleNameAsFilePrefix=false\r\n'
          b"TimePlacementMask='\"q\"'\r\n")
    write('CommonSection', 'providers-around',
          b'[Providers]\n10.1.2.3|Billing|Core|=/srv/store.so\n[Common]\nRunMode=7\n'
          b'[Providers]\n"a b"|c|d|e=x.so\n')
    write('CommonSection', 'bom-and-no-newline', b'\xef\xbb\xbf[Common]\nServicePort=70000')
    write('CommonSection', 'empty', b'')


def providers_seeds():
    write('ProvidersSection', 'lines',
          b'[Common]\nServicePort=1\n[Providers]\n10.1.2.3|Billing|Core|Core=a.so\n'
          b'10.1.2.3:4000|A|B|C=c.so\n; 10.1.2.3|A|B|C=d.so\n10.0.0.5:514|SYSLOG|syslog|=e.so\n')
    write('ProvidersSection', 'quoted',
          b'[providers]\r\n  10.1.2.3|"My App"|"a""b"|"x|y" = lib.so \r\n\ta||c|d=two.so\r\n')
    write('ProvidersSection', 'key-only', b'10.0.0.5|My App|m|p')
    write('ProvidersSection', 'lone-cr', b'[Providers]\ra|b|c|d=x.so\r[Other]\re|f|g|h=y.so')


def mask_seeds():
    # From the end: the value choice (0x80: the 8 bytes before it are the value's bits), the date
    # and time separators, then a flag for settings of its own; the mask is what comes first.
    def seed(mask, value=45358.587, date_sep=b'/', time_sep=b':'):
        return mask + b'\x00' + time_sep + date_sep + struct.pack('<d', value) + b'\x80'
    write('FormatTimeMask', 'day', seed(b'yyyy_mm_dd'))
    write('FormatTimeMask', 'diagnostic-stamp', seed(b'dd.mm.yyyy hh:nn:ss:zzz : ', time_sep=b'.'))
    write('FormatTimeMask', 'twelve-hour', seed(b'h:nn am/pm HH:NN AM/PM a/p ampm "q" \'u'))
    write('FormatTimeMask', 'names-and-nesting', seed(b'dddddd ddddd mmmm mmm aaaa aaa c t tt ggee'))
    write('FormatTimeMask', 'nan', b'c' + b'\x00' + b':' + b'\x00' + b'\x00')


def connection_seeds():
    # options (bit 0 module name as prefix, bits 1-3 server time, 4-5 clock step, 6-7 piece
    # size), the source port (2 bytes), then the connection's byte stream.
    stream = tpkt(record('Billing', 'Core', '', 'hello')) + tpkt(record('Billing', 'Core', 'x', 'y'))
    write('ConnectionToFile', 'two-records', b'\x01\x75\x30' + stream)
    write('ConnectionToFile', 'hostile-names',
          b'\x53\x00\x01' + tpkt(record('..', '../..', '../../x', 'up')) +
          tpkt(record('/etc', 'a\\b', '.', 'abs')) + tpkt(record('', '', '', 'empty')))
    write('ConnectionToFile', 'control-bytes',
          b'\x9c\x12\x34' + tpkt(record('a\x00b', 'c\nd', 'e\r\x7ff', 't\r\nforged')))
    write('ConnectionToFile', 'nan-times',
          b'\x08\x00\x00' + tpkt(record('A', 'M', 'P', 'x', client_time=float('nan'))))
    write('ConnectionToFile', 'syslog-only', b'\x00\x02\x02<13>hello syslog\r\n')


if __name__ == '__main__':
    tpkt_seeds()
    record_seeds()
    common_seeds()
    providers_seeds()
    mask_seeds()
    connection_seeds()
