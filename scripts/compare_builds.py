#!/usr/bin/env python3
"""The body of scripts/compare_builds.sh: runs every scenario through an old
and a new build of travek32, each run in a fresh folder with fresh stations,
and compares what a user sees of the two.

Only what varies between two runs of one binary is normalised: wall-clock
times (the console's "T= N ms", the view's seconds, the records' and events'
time fields), the run's temporary folder, pseudo-terminal numbers and free
TCP ports, the spinner's turns (as many as the wait took), the interleaving
of different ports' lines in a run of many (each port's own order is kept),
the order of a run of many's log records, the station's count of purges
(see normalise), and, where a signal or a lost server lands mid-load, how far
the percentage had got. What a terminal shows is compared as its final
screen, colours included. Everything else is compared byte for byte.
"""
import concurrent.futures
import dataclasses
import difflib
import fcntl
import hashlib
import json
import os
import re
import shutil
import signal
import socket
import stat
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

# ---------------------------------------------------------------- the files


def image(size, seed):
    """A random image, the same for every run."""
    state = seed * 2654435761 % 2**32 or 1
    out = bytearray(size)
    for i in range(size):
        state = (state * 1103515245 + 12345) % 2**31
        out[i] = state >> 16 & 0xFF
    return bytes(out)


def mixed_image():
    """Random data, erased flash and one repeated word: full and fill pages."""
    return image(24576, 5) + b'\xff' * 16384 + b'\x12\x34' * 8192 + image(8192, 6)


def hex_record(kind, address, data):
    body = bytes([len(data), address >> 8 & 0xFF, address & 0xFF, kind]) + data
    return ':%s%02X\n' % (body.hex().upper(), -sum(body) & 0xFF)


def intel_hex(blocks, segment=False, end=True):
    """Intel HEX of (address, data) blocks, with linear or segment bases."""
    lines, base = [], None
    for address, data in blocks:
        for at in range(0, len(data), 16):
            where = address + at
            wanted = where >> 16 if not segment else where >> 4 & 0xF000
            if wanted != base:
                kind, value = (2, wanted) if segment else (4, wanted)
                lines.append(hex_record(kind, 0, value.to_bytes(2, 'big')))
                base = wanted
            offset = where - (base << 4 if segment else base << 16)
            lines.append(hex_record(0, offset, data[at:at + 16]))
    if end:
        lines.append(hex_record(1, 0, b''))
    return ''.join(lines).encode()


def srec_record(kind, address, data, address_bytes):
    body = bytes([address_bytes + len(data) + 1]) + address.to_bytes(address_bytes, 'big') + data
    return 'S%d%s%02X\n' % (kind, body.hex().upper(), ~sum(body) & 0xFF)


def srecord(address, data, kind=2, count=None, end=True):
    """Motorola S-records: a header, data records, a count, a termination."""
    width = {1: 2, 2: 3, 3: 4}[kind]
    lines = [srec_record(0, 0, b'travek', 2)]
    for at in range(0, len(data), 32):
        lines.append(srec_record(kind, address + at, data[at:at + 32], width))
    records = len(lines) - 1
    lines.append(srec_record(5, records if count is None else count, b'', 2))
    if end:
        lines.append(srec_record(10 - kind, 0, b'', width))
    return ''.join(lines).encode()


def numbers(extra, address='0xFFF00', size=4, encoding='le'):
    return ('# station serial numbers for the comparison\n'
            'address  = %s\nbytes    = %d\nencoding = %s\n%s' % (address, size, encoding, extra)).encode()


def resident():
    with open(os.path.join(REPO, 'src/assets/resident.bin'), 'rb') as f:
        return f.read()


def broken_crc_resident():
    data = bytearray(resident())
    data[20] ^= 1
    return bytes(data)


def hex_lines_changed(text, line, change):
    lines = text.split(b'\n')
    lines[line] = change(lines[line])
    return b'\n'.join(lines)


IMAGE = image(16384, 1)
DIRECTORY = object()  # a folder stands there
FIFO = object()  # a named pipe stands there


def make_registry():
    """Every file a scenario may name, by its name in the run's folder."""
    good_hex = intel_hex([(0xFC000, IMAGE)])
    good_srec = srecord(0xFC000, IMAGE)
    files = {
        'img.bin': IMAGE, 'big.bin': image(131072, 2), 'mixed.bin': mixed_image(),
        'large.bin': image(600000, 3), 'empty.bin': b'', 'img.hex': good_hex, 'img.txt': good_hex,
        'img.s19': good_srec, 'img.dat': srecord(0xFC000, IMAGE, kind=3),
        'gaps.hex': intel_hex([(0xF8000, image(3000, 7)), (0xFA000, image(2000, 8))], segment=True),
        'count.s37': srecord(0xF8000, image(5000, 9), kind=3, end=False),
        'sum.hex': hex_lines_changed(good_hex, 3, lambda l: l[:-2] + b'00'),
        'type.hex': good_hex.replace(b'\n', b'\n' + hex_record(6, 0, b'\x01').encode(), 1),
        'noend.hex': intel_hex([(0xFC000, IMAGE)], end=False),
        'above.hex': intel_hex([(0x100000, b'\x01' * 16)]),
        'twice.hex': intel_hex([(0xFC000, b'\x01' * 16), (0xFC000, b'\x02' * 16)]),
        'count.s19': srecord(0xFC000, IMAGE, count=7),
        'bad.s19': good_srec.replace(b'\nS2', b'\nS2X', 1),
        'resident.bin': resident(), 'badcrc.bin': broken_crc_resident(),
        'badcode.bin': image(1200, 4), 'folder': DIRECTORY, 'wait.fifo': FIFO,
    }
    files.update(numbers_registry())
    return files


def numbers_registry():
    return {
        'line.numbers': numbers('next     = 100001\nlast     = 199999\n'),
        'be.numbers': numbers('next = 0x10203\nstep = 7\n', encoding='be', size=3),
        'command.numbers': numbers('command = echo 4242\n', encoding='dec', size=8),
        'hexcmd.numbers': numbers('command = echo "$TRAVEK_PORT" >&2; echo 48879\n', encoding='hex'),
        'typo.numbers': numbers('nxet = 5\n'),
        'value.numbers': numbers('next = 012\n'),
        'nonext.numbers': numbers(''),
        'outside.numbers': numbers('next = 5\n', address='0x10000'),
        'usedup.numbers': numbers('next = 6\nlast = 5\n'),
        'toolarge.numbers': numbers('command = echo 99999999999\n'),
        'unwritable.numbers': numbers('next = 5\n'),
        'unwritable.numbers.tmp': DIRECTORY,
        'failing.numbers': numbers('command = echo no number; echo why >&2; exit 3\n'),
        'waiting.numbers': numbers('command = cat wait.fifo\n'),
    }


def sys_file():
    """A file whose size is not what it reads: the read fails part-way."""
    for path in ('/sys/kernel/mm/transparent_hugepage/enabled', '/sys/kernel/profiling',
                 '/sys/power/state'):
        if os.path.isfile(path) and os.access(path, os.R_OK) and os.stat(path).st_size == 4096:
            return path
    return None

# ---------------------------------------------------------------- scenarios


@dataclasses.dataclass
class Station:
    """A station-sim; its port is named in the tool's arguments as {link}."""
    link: str
    args: tuple = ()
    network: bool = False  # through ser2net, as rfc2217://127.0.0.1:PORT
    telnet: bool = True  # False: a plain TCP port, no RFC 2217
    com: int = 0  # under Wine: the COM port linked to it


@dataclasses.dataclass
class Scenario:
    name: str
    args: tuple
    stations: tuple = ()
    stdin: object = 'null'  # null | pipe | pty | bytes (piped, then closed)
    stdout: str = 'pipe'  # pipe | pty (what a terminal shows is compared)
    # ('expect', text, count) ('send', bytes) ('signal', n) ('kill', port) ('lose-server',)
    steps: tuple = ()
    env: tuple = ()
    windows: bool = False
    vary: tuple = ()  # 'progress': a signal lands mid-load; 'station': its verdict varies
    station_ends: bool = True  # the tool opens the stations: they end by themselves
    keep: tuple = ()  # files whose content after the run is compared
    hold: str = ''  # a port another program holds
    files: tuple = ()  # files no argument names


def S(name, args, *stations, **options):
    return Scenario(name, tuple(args), tuple(stations), **options)


def P(link='p1', *args, **options):
    return Station(link, tuple(args), **options)


def expect(text, count=1):
    return ('expect', text.encode(), count)


def send(data):
    return ('send', data)


ENTER, ESC = b'\r', b'\x1b'
JUMPER = 'ПЕРЕМЫЧКУ'
PRESS_KEY = 'Press a key to exit'
NEXT_BATCH = 'Следующая партия'
FIRST_TURN = '-\b'  # the spinner has turned once: a key or a signal after it finds it drawn


def command_line_scenarios():
    img = 'img.bin'
    return [
        S('usage', []),
        S('usage-on-a-terminal', [], stdin='pty', stdout='pty', steps=(expect(PRESS_KEY), send(b'x'))),
        S('invalid-port-com5', ['-com5', img]),
        S('invalid-port-empty', ['-port:', img]),
        S('invalid-port-twice-in-ports', ['-ports:p1,p1', img]),
        S('invalid-port-empty-in-ports-json', ['-json', '-ports:p1,', img]),
        S('bad-offset-zero', ['-o:0', img]),
        S('bad-offset-too-large', ['-o:4294967296', img]),
        S('bad-offset-text-json', ['-json', '-o:xyz', img]),
        S('bad-address-text', ['-a:zz', img]),
        S('bad-address-json', ['-json', '-a:0x', img]),
        S('invalid-switch', ['-x', img]),
        S('invalid-switch-json', ['-json', '-yes', img]),
        S('invalid-format', ['-f:elf', img]),
        S('not-applicable-address-hex', ['-a:0xF0000', 'img.hex']),
        S('not-applicable-offset-srec', ['-o:16', 'img.s19']),
        S('not-applicable-send-only-hex', ['-s', 'img.hex']),
        S('not-applicable-numbers-send-only', ['-n:line.numbers', '-s', 'resident.bin']),
        S('no-file-name', ['-port:p1']),
        S('no-file-name-json', ['-json', '-y']),
        S('file-open-missing', ['-port:p1', 'missing.bin']),
        S('file-open-folder', ['-port:p1', 'folder']),
        S('file-open-missing-json-log', ['-json', '-log:run.log', '-port:p1', 'missing.bin']),
        S('log-open-folder', ['-log:folder', '-port:p1', img]),
        S('log-open-folder-json', ['-json', '-log:folder', '-port:p1', img]),
        S('switches-any-case-last-port-wins', ['-COM3', '-PORT:nothere', '-O:0x10', '-o:0x20', img]),
    ]


def port_scenarios():
    img = 'img.bin'
    return [
        S('port-missing', ['-port:nothere', img]),
        S('port-missing-json-log', ['-json', '-log:run.log', '-port:nothere', img]),
        S('port-not-serial', ['-port:/dev/null', img]),
        S('port-held-by-another', ['-port:{p1}', img], P(), hold='p1', station_ends=False),
        S('network-refused', ['-port:rfc2217://127.0.0.1:{free}', img]),
        S('network-bad-name', ['-port:rfc2217://127.0.0.1', img]),
        S('network-not-rfc2217', ['-json', '-port:{p1}', img], P(network=True, telnet=False),
          station_ends=False),
    ]


def file_scenarios():
    sim = P()
    out = [
        S('offset-not-below-size', ['-o:16384', '-port:{p1}', 'img.bin'], sim),
        S('load-size-empty-file', ['-port:{p1}', 'empty.bin'], sim),
        S('load-size-too-large', ['-json', '-log:run.log', '-port:{p1}', 'large.bin'], sim),
        S('log-write-fails-after-a-good-load', ['-y', '-log:/dev/full', '-port:{p1}', 'img.bin'], sim),
    ]
    for name in ('sum.hex', 'type.hex', 'noend.hex', 'above.hex', 'twice.hex', 'count.s19', 'bad.s19'):
        out.append(S('format-error-' + name.replace('.', '-'), ['-port:{p1}', name], sim))
    out.append(S('format-error-json-log', ['-json', '-log:run.log', '-port:{p1}', 'sum.hex'], sim))
    broken = sys_file()
    if broken is not None:
        out.append(S('file-read-error', ['-log:run.log', '-port:{p1}', broken], sim))
    return out


def fault(name, *sim_args, args=('-port:{p1}', 'img.bin')):
    return S(name, args, P('p1', *sim_args))


def station_fault_scenarios():
    y = ('-y', '-port:{p1}', 'img.bin')
    return [
        fault('echo-wrong', '--echo-wrong', '5'),
        fault('echo-missing', '--echo-missing', '7'),
        fault('handshake-silent', '--no-u-answer'),
        fault('handshake-late', '--u-delay', '400'),
        fault('handshake-bad-answer', '--u-answer', '41'),
        fault('packet-wrong-code', '--packet', 'wrong-code'),
        fault('packet-bad-crc', '--packet', 'bad-crc'),
        fault('packet-short', '--packet', 'short'),
        fault('sector-warnings', '--warn-sectors', '3,4,60'),
        fault('sector-fails', '--fail-sector', '5'),
        fault('report-broken', '--broken-report', '5'),
        fault('report-twice', '--duplicate-report', '5'),
        fault('resident-silent-mid-load', '--silent-after', '2000'),
        # Enough data to fill the terminal's buffer: the write runs out of time.
        fault('station-stops-reading', '--stall-after', '3000', args=('-port:{p1}', 'big.bin')),
        fault('restart-unanswered', '--no-restart-answer', args=y),
        fault('stray-byte', '--stray-byte', '33', '--boot-delay', '300'),
        fault('chip-missing', '--chip0', '00:00:00:00'),
        fault('second-chip-missing', '--flags', '4'),
        fault('chips-differ', '--flags', '4', '--chip1', '1F:DA:04:FC'),
        fault('sector-size-zero', '--chip0', '1F:A4:00:F8'),
        fault('sector-size-uneven', '--chip0', '1F:A4:03:F8'),
        fault('file-too-large-small-chip', '--chip0', '1F:D5:02:FF', args=('-port:{p1}', 'big.bin')),
        fault('file-too-large-past-1mb', args=('-a:0xFE000', '-port:{p1}', 'img.bin')),
        fault('start-outside-flash', args=('-a:0x10000', '-port:{p1}', 'img.bin')),
        fault('start-not-sector-start', args=('-a:0xF8010', '-port:{p1}', 'img.bin')),
        fault('resident-bad-code', '--expect', 'resident', args=('-s', '-port:{p1}', 'badcode.bin')),
        fault('resident-bad-crc', '--expect', 'resident', args=('-s', '-port:{p1}', 'badcrc.bin')),
    ]


def success_scenarios():
    return [
        fault('clock-10', '--clock', '10'),
        fault('clock-11', '--clock', '11'),
        fault('clock-12', '--clock', '12'),
        fault('clock-11-restart', '--clock', '11', args=('-y', '-port:{p1}', 'img.bin')),
        fault('station-needs-no-jumper', '--flags', '3'),
        fault('class-dv20r', '--flags', '8', args=('-y', '-port:{p1}', 'img.bin')),
        fault('two-chips', '--flags', '4', '--chip1', '1F:A4:04:F8', '--clock', '12',
              args=('-y', '-log:run.log', '-port:{p1}', 'mixed.bin')),
        fault('unknown-chip', '--chip0', '12:34:04:F8', args=('-y', '-port:{p1}', 'img.bin')),
        fault('small-chip', '--chip0', '1F:D5:02:FE', args=('-y', '-port:{p1}', 'img.bin')),
        fault('fill-records-with-log', '--sector-ms', '1',
              args=('-y', '-log:run.log', '-port:{p1}', 'mixed.bin')),
        fault('send-only-10', '--expect', 'resident', args=('-s', '-port:{p1}', 'resident.bin')),
        fault('send-only-11-json-log', '--clock', '11', '--expect', 'resident',
              args=('-json', '-log:run.log', '-s', '-port:{p1}', 'resident.bin')),
        fault('batch-switch-alone', args=('-batch:3', '-json', '-y', '-log:run.log', '-port:{p1}', 'img.bin')),
    ]


def key_scenarios():
    img = ('-port:{p1}', 'img.bin')
    slow = P('p1', '--boot-delay', '60000')
    return [
        S('jumper-enter-piped', img, P(), stdin='pipe', steps=(expect(JUMPER), send(ENTER))),
        S('jumper-esc-piped', img, P(), stdin='pipe', steps=(expect(JUMPER), send(ESC))),
        S('jumper-other-key-then-enter-piped', img, P(), stdin='pipe',
          steps=(expect(JUMPER), send(b'q\n'))),
        S('jumper-enter-on-a-terminal', img, P('p1', '--clock', '11'), stdin='pty', stdout='pty',
          steps=(expect(JUMPER), send(b'\x1b[A'), send(ENTER), expect(PRESS_KEY), send(b'x'))),
        S('jumper-esc-terminal-keys', img, P(), stdin='pty',
          steps=(expect(JUMPER), send(ESC), expect(PRESS_KEY), send(b'x'))),
        S('warnings-on-a-terminal', ('-y',) + img, P('p1', '--warn-sectors', '3'), stdout='pty'),
        S('warnings-on-a-terminal-no-colour', ('-y',) + img, P('p1', '--warn-sectors', '3'),
          stdout='pty', env=(('NO_COLOR', '1'),)),
        S('esc-at-start-piped', img, slow, stdin=ESC),
        S('esc-at-start-on-a-terminal', img, slow, stdin='pty',
          steps=(expect('Ожидание СТАРТА'), expect(FIRST_TURN), send(ESC), expect(PRESS_KEY), send(b'x'))),
        S('esc-at-start-json-log', ('-json', '-log:run.log') + img, slow, stdin='pipe',
          steps=(expect('"event":"waiting"'), send(ESC))),
        S('sigterm-at-start', ('-log:run.log',) + img, slow, stdin='pipe',
          steps=(expect('Ожидание СТАРТА'), expect(FIRST_TURN), ('signal', signal.SIGTERM))),
        S('sighup-at-start', img, slow, stdin='pipe',
          steps=(expect('Ожидание СТАРТА'), expect(FIRST_TURN), ('signal', signal.SIGHUP))),
        S('interrupt-ignored-mid-load', ('-y', '-port:{p1}', 'big.bin'), P('p1', '--sector-ms', '2'),
          stdin='pipe', steps=(expect('\b\b\b 10'), ('signal', signal.SIGINT), ('signal', signal.SIGQUIT),
                               ('signal', signal.SIGTSTP))),
        S('sigterm-mid-load', ('-port:{p1}', 'big.bin'), P('p1', '--sector-ms', '20'), stdin='pipe',
          steps=(expect('\b\b\b 10'), ('signal', signal.SIGTERM)), vary=('progress', 'station')),
        S('sigterm-mid-load-json-log', ('-json', '-log:run.log', '-port:{p1}', 'big.bin'),
          P('p1', '--sector-ms', '20'), stdin='pipe',
          steps=(expect('"percent":10'), ('signal', signal.SIGTERM)), vary=('progress', 'station')),
        S('sigterm-while-the-number-is-drawn', ('-log:run.log', '-n:waiting.numbers') + img, P(),
          stdin='pipe', files=('wait.fifo',),
          steps=(expect('Объем загружаемых данных'), ('signal', signal.SIGTERM))),
    ]


def json_and_format_scenarios():
    def run(name, args, *sim_args, **options):
        return S(name, args, P('p1', *sim_args), **options)
    return [
        run('json-log-success', ('-json', '-y', '-log:run.log', '-port:{p1}', 'img.bin'), '--clock', '12'),
        run('json-jumper-enter', ('-json', '-log:run.log', '-port:{p1}', 'img.bin'), stdin='pipe',
            steps=(expect('"event":"jumper"'), send(b'\n'))),
        run('json-log-failure', ('-json', '-log:run.log', '-port:{p1}', 'img.bin'), '--fail-sector', '9'),
        run('json-stray-and-warnings', ('-json', '-y', '-port:{p1}', 'img.bin'),
            '--stray-byte', '0x42', '--boot-delay', '300', '--warn-sectors', '1,2'),
        run('console-log-failure', ('-log:run.log', '-port:{p1}', 'img.bin'), '--no-u-answer'),
        run('hex-auto', ('-y', '-log:run.log', '-port:{p1}', 'img.hex')),
        run('srec-auto', ('-y', '-port:{p1}', 'img.s19')),
        run('hex-forced', ('-y', '-f:hex', '-port:{p1}', 'img.txt')),
        run('srec-forced-s3', ('-y', '-f:srec', '-port:{p1}', 'img.dat')),
        run('bin-forced-on-hex-text', ('-y', '-f:srec', '-f:bin', '-port:{p1}', 'img.hex')),
        run('hex-segments-and-gaps', ('-json', '-y', '-port:{p1}', 'gaps.hex')),
        run('srec-count-no-end', ('-y', '-port:{p1}', 'count.s37')),
        run('bin-offset-and-address', ('-y', '-o:0x100', '-a:0xF8000', '-port:{p1}', 'img.bin')),
        run('bin-octal-offset', ('-json', '-y', '-o:0400', '-port:{p1}', 'img.bin')),
    ]


def numbers_scenarios():
    def run(name, numbers_file, *extra, sim=(), **options):
        args = ('-y',) + extra + ('-n:' + numbers_file, '-port:{p1}', 'img.bin')
        return S(name, args, P('p1', *sim), keep=(numbers_file,), **options)
    return [
        run('numbers-counter', 'line.numbers', '-log:run.log'),
        run('numbers-counter-be-json', 'be.numbers', '-json', '-log:run.log'),
        run('numbers-command', 'command.numbers', '-log:run.log'),
        run('numbers-command-hex-json', 'hexcmd.numbers', '-json'),
        run('numbers-unknown-key', 'typo.numbers', station_ends=False),
        run('numbers-bad-value-json', 'value.numbers', '-json', station_ends=False),
        run('numbers-missing-key', 'nonext.numbers', station_ends=False),
        S('numbers-file-missing', ('-n:none.numbers', '-port:{p1}', 'img.bin'), P(), station_ends=False),
        run('number-outside-data', 'outside.numbers', '-log:run.log'),
        run('numbers-used-up', 'usedup.numbers', '-json', '-log:run.log'),
        run('number-too-large', 'toolarge.numbers'),
        run('numbers-write-fails', 'unwritable.numbers', '-log:run.log',
            files=('unwritable.numbers.tmp',)),
        run('number-command-fails', 'failing.numbers', '-json', '-log:run.log'),
        run('number-then-load-fails', 'line.numbers', '-log:run.log', sim=('--fail-sector', '3')),
    ]


def many_scenarios():
    ok11, warn, fails = P('p1', '--clock', '11'), P('p1', '--clock', '11', '--warn-sectors', '2,7'), \
        P('p2', '--clock', '12', '--fail-sector', '5')
    ok2 = P('p2', '--clock', '12')
    two = '-ports:{p1},{p2}'
    return [
        S('ports-plain', ('-y', '-log:run.log', two, 'img.bin'), warn, fails),
        S('ports-plain-jumper-enter', (two, 'img.bin'), ok11, ok2, stdin='pipe',
          steps=(expect(JUMPER), send(ENTER))),
        S('ports-plain-jumper-esc', ('-log:run.log', two, 'img.bin'), ok11, ok2, stdin='pipe',
          steps=(expect(JUMPER), send(ESC))),
        S('ports-json', ('-json', '-y', '-log:run.log', two, 'img.bin'), warn, P('p2', '--no-u-answer')),
        S('ports-json-jumper', ('-json', two, 'img.hex'), ok11, ok2, stdin='pipe',
          steps=(expect('"prompt":"jumper"'), send(ENTER))),
        S('ports-view', ('-y', two, 'img.bin'), warn, fails, stdout='pty'),
        S('ports-view-numbers-no-colour', ('-y', '-n:line.numbers', two, 'img.bin'), warn,
          P('p2', '--boot-delay', '1500'), stdout='pty', env=(('NO_COLOR', '1'),), keep=('line.numbers',)),
        S('ports-view-keys-on-a-terminal', (two, 'img.bin'), ok11, fails, stdin='pty', stdout='pty',
          steps=(expect(JUMPER), send(ENTER), expect(PRESS_KEY), send(b'x'))),
        S('ports-esc-while-waiting', ('-log:run.log', two, 'img.bin'), P('p1', '--boot-delay', '60000'),
          P('p2', '--boot-delay', '60000'), stdin='pipe',
          steps=(expect('p1: ожидание старта'), expect('p2: ожидание старта'), send(ESC))),
        S('ports-station-process-killed', ('-y', '-log:run.log', two, 'img.bin'),
          P('p1', '--boot-delay', '60000'), ok2, steps=(expect('p1: ожидание старта'), ('kill', 'p1'))),
        S('ports-sigterm-mid-load', ('-y', '-log:run.log', two, 'big.bin'), P('p1', '--sector-ms', '20'),
          P('p2', '--sector-ms', '20'), stdin='pipe',
          steps=(expect('p1: загрузка  10%'), expect('p2: загрузка  10%'), ('signal', signal.SIGTERM)),
          vary=('progress', 'station')),
        S('ports-numbers-plain', ('-y', '-log:run.log', '-n:line.numbers', two, 'img.bin'), ok11,
          P('p2', '--boot-delay', '1500'), keep=('line.numbers',)),
        S('ports-one-missing', ('-y', '-ports:{p1},nothere', 'img.bin'), ok11),
        S('ports-network-and-local', ('-y', '-log:run.log', two, 'img.bin'),
          P('p1', '--clock', '11', network=True), ok2),
    ]


def repeat_scenarios():
    again = ('--sessions', '2')
    return [
        S('repeat-one-port', ('-repeat', '-y', '-port:{p1}', 'img.bin'), P('p1', *again), stdin='pipe',
          steps=(expect(NEXT_BATCH), send(ENTER), expect(NEXT_BATCH, 2), send(ESC))),
        S('repeat-ports-json-log', ('-repeat', '-json', '-y', '-log:run.log', '-ports:{p1},{p2}', 'img.bin'),
          P('p1', *again), P('p2', '--warn-sectors', '4', *again), stdin='pipe',
          steps=(expect('"prompt":"next-batch"'), send(ENTER), expect('"prompt":"next-batch"', 2))),
        S('repeat-view', ('-repeat', '-y', '-ports:{p1},{p2}', 'img.bin'), P('p1', *again),
          P('p2', '--clock', '11', *again), stdin='pipe', stdout='pty',
          steps=(expect(NEXT_BATCH), send(ENTER), expect(NEXT_BATCH, 2))),
        S('repeat-end-of-input', ('-repeat', '-y', '-port:{p1}', 'img.bin'), P()),
    ]


def network_scenarios():
    net = dict(network=True)
    return [
        S('network-success', ('-y', '-port:{p1}', 'img.bin'), P('p1', '--clock', '11', **net)),
        S('network-json-log-hex', ('-json', '-y', '-log:run.log', '-port:{p1}', 'img.hex'), P('p1', **net)),
        S('network-sector-fails', ('-port:{p1}', 'img.bin'), P('p1', '--fail-sector', '4', **net)),
        S('network-jumper-enter', ('-port:{p1}', 'img.bin'), P('p1', **net), stdin='pipe',
          steps=(expect(JUMPER), send(ENTER))),
        S('network-server-lost-mid-load', ('-json', '-log:run.log', '-port:{p1}', 'big.bin'),
          P('p1', '--sector-ms', '20', **net), steps=(expect('"percent":10'), ('lose-server',)),
          vary=('progress', 'station')),
    ]


def windows_scenarios():
    def run(name, args, *stations, **options):
        return S(name, args, *stations, windows=True, **options)
    return [
        run('windows-usage', []),
        run('windows-invalid-port', ['-com5', 'img.bin']),
        run('windows-port-missing', ['-port:COM9', 'img.bin']),
        run('windows-file-missing', ['-port:COM9', 'missing.bin']),
        run('windows-flash', ['-port:{w1}', 'img.bin'], P('w1')),
        run('windows-json-log-hex', ['-json', '-y', '-log:run.log', '-port:{w1}', 'img.hex'], P('w1')),
        run('windows-sector-fails', ['-port:{w1}', 'img.bin'], P('w1', '--fail-sector', '6')),
    ]


def all_scenarios():
    groups = [command_line_scenarios, port_scenarios, file_scenarios, station_fault_scenarios,
              success_scenarios, key_scenarios, json_and_format_scenarios, numbers_scenarios,
              many_scenarios, repeat_scenarios, network_scenarios, windows_scenarios]
    scenarios = [s for group in groups for s in group()]
    com = 20  # Wine's COM ports: one of its own for each station, from COM20
    for scenario in scenarios:
        for station in scenario.stations:
            if scenario.windows:
                station.com = com
                com += 1
    names = [s.name for s in scenarios]
    assert len(names) == len(set(names)), 'two scenarios of one name'
    return scenarios

# ---------------------------------------------------------------- processes


class Stream:
    """What a descriptor gives, read by a thread of its own, for steps to wait on."""

    def __init__(self, fd, sentinel=None):
        self.data = bytearray()
        self.done = False
        self.sentinel = sentinel
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(fd,), daemon=True)
        self.thread.start()

    def _read(self, fd):
        while True:
            try:
                chunk = os.read(fd, 65536)
            except OSError:  # a pseudo-terminal's master reads EIO once every slave is closed
                chunk = b''
            with self.cond:
                self.data += chunk
                if not chunk or (self.sentinel is not None and self.sentinel in self.data):
                    self.done = True
                self.cond.notify_all()
                if self.done:
                    return

    def wait_count(self, text, count, timeout):
        with self.cond:
            self.cond.wait_for(lambda: self.data.count(text) >= count or self.done, timeout)
            return self.data.count(text) >= count

    def wait_done(self, timeout):
        with self.cond:
            return self.cond.wait_for(lambda: self.done, timeout)

    def text(self):
        with self.cond:
            data = bytes(self.data)
        if self.sentinel is not None and self.sentinel in data:
            data = data[:data.index(self.sentinel)]
        return data


class SetupError(Exception):
    """The scenario's stations or servers could not be set up."""


def free_port():
    with socket.socket() as s:
        s.bind(('127.0.0.1', 0))
        return s.getsockname()[1]


def listens(port):
    wanted = '0100007F:%04X' % port
    with open('/proc/net/tcp') as table:
        for line in table:
            fields = line.split()
            if len(fields) > 3 and fields[1] == wanted and fields[3] == '0A':
                return True
    return False


def end_process(proc, wait=5):
    """Ends a process this script started: TERM, then KILL."""
    if proc.poll() is None:
        proc.terminate()
        try:
            proc.wait(wait)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()


class Running:
    """The processes and descriptors of one run, to be let go of at its end."""

    def __init__(self):
        self.stations = []  # (Station, Popen, Stream, flash path)
        self.servers = []
        self.fds = []

    def close(self):
        for _, proc, _, _ in self.stations:
            end_process(proc)
        for proc in self.servers:
            end_process(proc)
        for fd in self.fds:
            os.close(fd)
        self.fds = []


def start_station(station, folder, ctx, running):
    link = (os.path.join(ctx.wineprefix, 'dosdevices', 'com%d' % station.com) if station.com
            else os.path.join(folder, station.link))
    if station.com and os.path.islink(link):
        os.unlink(link)
    flash = os.path.join(folder, station.link + '.flash')
    proc = subprocess.Popen([ctx.sim, '--link', link, '--flash-out', flash, *station.args],
                            cwd=folder, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    out = Stream(proc.stdout.fileno())
    running.stations.append((station, proc, out, flash))
    if not out.wait_count(b'\n', 1, 30):
        raise SetupError('station-sim gave no port')
    slave = out.text().split(b'\n')[0].decode()
    if station.com:
        return 'COM%d' % station.com
    if station.network:
        return start_server(slave, station.telnet, ctx, running)
    return station.link


def start_server(device, telnet, ctx, running):
    """ser2net serving the device on a free loopback port."""
    folder = tempfile.mkdtemp(prefix='ser2net-', dir=ctx.root)
    config = os.path.join(folder, 'ser2net.yaml')
    for _ in range(5):  # another program may take the free port first
        port = free_port()
        with open(config, 'w') as f:
            f.write('connection: &station\n  accepter: %stcp,127.0.0.1,%d\n'
                    '  connector: serialdev,%s,9600n81,local\n'
                    % ('telnet(rfc2217),' if telnet else '', port, device))
        proc = subprocess.Popen([ctx.ser2net, '-n', '-u', '-c', config, '-P', folder + '/pid'],
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                stderr=subprocess.DEVNULL, start_new_session=True)
        running.servers.append(proc)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline and proc.poll() is None:
            if listens(port):
                return 'rfc2217://127.0.0.1:%d' % port
            time.sleep(0.02)
        end_process(proc)
    raise SetupError('ser2net did not listen')


def make_files(scenario, folder, ctx):
    wanted = set(scenario.files) | set(scenario.keep)
    for arg in scenario.args:
        wanted.add(arg)
        wanted.add(arg.split(':', 1)[-1])
    for name in sorted(wanted & ctx.files.keys()):
        path = os.path.join(folder, name)
        content = ctx.files[name]
        if content is DIRECTORY:
            os.mkdir(path)
        elif content is FIFO:
            os.mkfifo(path)
        else:
            with open(path, 'wb') as f:
                f.write(content)


def hold_port(path, running):
    """Another program holding the port, as the tool's own lock sees it."""
    fd = os.open(path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
    running.fds.append(fd)
    fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)


def release_fifos(scenario, folder):
    """A command left waiting on a named pipe gets its end of input."""
    for name in scenario.files:
        path = os.path.join(folder, name)
        if os.path.exists(path) and stat_is_fifo(path):
            try:
                os.close(os.open(path, os.O_WRONLY | os.O_NONBLOCK))
            except OSError:  # nobody reads it: nothing to release
                pass


def stat_is_fifo(path):
    return stat.S_ISFIFO(os.stat(path).st_mode)


def child_for_port(parent, port):
    """The station process a run of many started for this port."""
    for entry in os.listdir('/proc'):
        if not entry.isdigit():
            continue
        try:
            with open('/proc/%s/stat' % entry) as f:
                stat = f.read()
            if int(stat[stat.rfind(')') + 2:].split()[1]) != parent:
                continue
            with open('/proc/%s/cmdline' % entry, 'rb') as f:
                if ('-port:' + port).encode() in f.read().split(b'\0'):
                    return int(entry)
        except (OSError, ValueError, IndexError):
            continue
    return None

# ---------------------------------------------------------------- one run

SENTINEL = b'\0\0compare-builds: end of the terminal\0\0'
COLUMNS, ROWS = 100, 50


class Tool:
    """The tool's process with its standard streams as the scenario wants them."""

    def __init__(self, command, folder, env, scenario):
        self.master = self.slave = None
        if scenario.stdin == 'pty' or scenario.stdout == 'pty':
            self.master, self.slave = os.openpty()
            fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack('HHHH', ROWS, COLUMNS, 0, 0))
        stdin = {'null': subprocess.DEVNULL, 'pty': self.slave}.get(scenario.stdin, subprocess.PIPE) \
            if isinstance(scenario.stdin, str) else subprocess.PIPE
        stdout = self.slave if scenario.stdout == 'pty' else subprocess.PIPE
        self.proc = subprocess.Popen(command, cwd=folder, env=env, stdin=stdin, stdout=stdout,
                                     stderr=subprocess.PIPE, start_new_session=True)
        self.keys_to_pty = scenario.stdin == 'pty'
        if isinstance(scenario.stdin, bytes):
            self.send(scenario.stdin)
            self.close_input()
        self.out = Stream(self.master if scenario.stdout == 'pty' else self.proc.stdout.fileno(),
                          SENTINEL if scenario.stdout == 'pty' else None)
        self.err = Stream(self.proc.stderr.fileno())

    def send(self, data):
        if self.keys_to_pty:
            os.write(self.master, data)
        elif self.proc.stdin is not None and not self.proc.stdin.closed:
            try:
                self.proc.stdin.write(data)
                self.proc.stdin.flush()
            except BrokenPipeError:  # the tool has ended: the key is not wanted
                pass

    def close_input(self):
        if self.proc.stdin is not None and not self.proc.stdin.closed:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass

    def finish(self, timeout):
        """The exit status, or what kept it from coming."""
        self.close_input()
        try:
            status = str(self.proc.wait(timeout))
        except subprocess.TimeoutExpired:
            os.killpg(self.proc.pid, signal.SIGKILL)
            self.proc.wait()
            status = 'did not end within %d s' % timeout
        if self.slave is not None:
            os.write(self.slave, SENTINEL)  # all the tool drew is read when this is
        self.out.wait_done(30)
        self.err.wait_done(30)
        for fd in (self.master, self.slave):
            if fd is not None:
                os.close(fd)
        return status


def do_steps(tool, steps, timeout, running):
    """The scenario's keys and signals, each when its cue has shown; None when done."""
    for step in steps:
        kind = step[0]
        if kind == 'expect' and not tool.out.wait_count(step[1], step[2], timeout):
            return 'never showed %r (%d)' % (step[1].decode(), step[2])
        if kind == 'send':
            tool.send(step[1])
        elif kind == 'signal':
            os.kill(tool.proc.pid, step[1])
        elif kind == 'kill':
            child = child_for_port(tool.proc.pid, step[1])
            if child is None:
                return 'no station process for ' + step[1]
            os.kill(child, signal.SIGKILL)
        elif kind == 'lose-server':
            for server in running.servers:
                server.kill()
    return None


def tool_command(scenario, build, names):
    args = [arg.format_map(names) for arg in scenario.args]
    if scenario.windows:
        return ['wine', build.windows_exe] + args
    return [build.tool] + args


def tool_env(scenario, ctx):
    env = {'PATH': os.environ.get('PATH', '/usr/bin:/bin'), 'HOME': os.environ.get('HOME', '/'),
           'LANG': 'C.UTF-8', 'TERM': 'xterm'}
    if scenario.windows:
        env.update(WINEPREFIX=ctx.wineprefix, WINEDEBUG='-all')
    env.update(dict(scenario.env))
    return env


def station_report(scenario, running):
    """What each station saw: its verdicts, its exit, its flash."""
    lines = []
    for station, proc, out, flash in running.stations:
        try:
            code = str(proc.wait(20))
        except subprocess.TimeoutExpired:
            code = 'still running'
        out.wait_done(10 if code != 'still running' else 0)
        lines.append('%s: exit %s' % (station.link, code))
        lines += [line.decode() for line in out.text().split(b'\n')[1:] if line]
        if os.path.exists(flash):
            with open(flash, 'rb') as f:
                lines.append('flash sha256 ' + hashlib.sha256(f.read()).hexdigest())
    return ('\n'.join(lines) + '\n').encode()


def run_once(scenario, build, ctx):
    """One scenario through one build: its raw results and the names it used."""
    folder = tempfile.mkdtemp(prefix='run-', dir=ctx.root)
    running = Running()
    try:
        make_files(scenario, folder, ctx)
        names = {'free': str(free_port())}
        for station in scenario.stations:
            names[station.link] = start_station(station, folder, ctx, running)
        if scenario.hold:
            hold_port(os.path.join(folder, scenario.hold), running)
        tool = Tool(tool_command(scenario, build, names), folder, tool_env(scenario, ctx), scenario)
        trouble = do_steps(tool, scenario.steps, 120 if scenario.windows else 60, running)
        if trouble is not None:
            os.killpg(tool.proc.pid, signal.SIGKILL)
        status = tool.finish(180 if scenario.windows else 90)
        release_fifos(scenario, folder)
        if not scenario.station_ends:
            running.close()
        raw = {'status': (status if trouble is None else trouble).encode() + b'\n',
               'stdout': tool.out.text(), 'stderr': tool.err.text()}
        if scenario.station_ends:  # a station ended by this script has no verdict to compare
            raw['station'] = station_report(scenario, running)
        running.close()
        raw.update(left_files(scenario, folder))
        return normalise(scenario, raw, folder, names)
    finally:
        running.close()
        shutil.rmtree(folder, ignore_errors=True)


def left_files(scenario, folder):
    """The log, the files the scenario keeps, and which files the run left."""
    out = {}
    log = os.path.join(folder, 'run.log')
    if any('-log:run.log' in arg for arg in scenario.args):
        out['log'] = open(log, 'rb').read() if os.path.exists(log) else b'(no log)\n'
    for name in scenario.keep:
        path = os.path.join(folder, name)
        out['file ' + name] = open(path, 'rb').read() if os.path.isfile(path) else b'(none)\n'
    stations = {station.link for station in scenario.stations}
    names = sorted(n for n in os.listdir(folder) if not n.endswith('.flash') and n not in stations)
    out['files'] = ('\n'.join(names) + '\n').encode()
    return out

# ---------------------------------------------------------------- normalising

SPINNER = re.compile(rb'(?:[-\\|/]\x08)+')
TIME_FIELD = re.compile(rb'"(time|total_ms|load_ms|resident_ms|ms)":(?:"[^"]*"|-?\d+)')
PROGRESS_STEPS = re.compile(rb'(?:\x08{3,4}[ \d]{2}\d)+')
PLAIN_PROGRESS = re.compile('^(.*): загрузка +\\d+%$'.encode())
VIEW_SECONDS = re.compile(r' *\d+ с(?=$|\s|\x1b)')


def spinner(match):
    """A spinner's turns are as many as the wait took; their order is not."""
    frames = match.group(0)[::2]
    if all(frames[i] == b'-\\|/'[i % 4] for i in range(len(frames))):
        return b'<spinner>'
    return match.group(0)


def common(data, folder):
    for form in (folder, 'Z:' + folder.replace('/', '\\')):
        data = data.replace(form.encode(), b'<run folder>')
    data = re.sub(rb'/dev/pts/\d+', b'/dev/pts/<N>', data)
    return re.sub(rb'127\.0\.0\.1:\d+', b'127.0.0.1:<port>', data)


def console(data):
    data = SPINNER.sub(spinner, data)
    return re.sub(rb'T= \d+ ms', b'T= <ms> ms', data)


def ports_of(scenario, names):
    for arg in scenario.args:
        lowered = arg.lower()
        if lowered.startswith('-ports:') or lowered.startswith('-port:'):
            listed = arg.split(':', 1)[1].format_map(names)
            return [common(p.encode(), '/nowhere') for p in listed.split(',')]
    return []


def regroup(lines, key, ports):
    """Ports' lines that came mixed, each port's kept together in its order."""
    out, run = [], []
    for line in lines + [None]:
        port = key(line) if line is not None else None
        if port in ports:
            run.append((ports.index(port), line))
            continue
        out += [l for _, l in sorted(run, key=lambda item: item[0])]
        run = []
        if line is not None:
            out.append(line)
    return out


def json_port(line):
    try:
        port = json.loads(line.decode()).get('port')
    except (ValueError, AttributeError, UnicodeDecodeError):
        return None
    return port.encode() if isinstance(port, str) else None


def plain_port(line):
    return line.split(b': ', 1)[0] if b': ' in line else None


def without_progress(lines, key):
    """Where a signal lands mid-load varies, and so how much progress shows before it."""
    return [line for line in lines if key(line) is None]


def json_progress(line):
    return (json_port(line) or b'') if b'"event":"progress"' in line else None


def plain_progress(line):
    match = PLAIN_PROGRESS.match(line)
    return match.group(1) if match else None


def normalise_lines(data, scenario, ports, is_json):
    lines = data.split(b'\n')
    if len(ports) > 1 or any(a.lower().startswith('-repeat') for a in scenario.args):
        lines = regroup(lines, json_port if is_json else plain_port, ports)
    if 'progress' in scenario.vary:
        lines = without_progress(lines, json_progress if is_json else plain_progress)
    return b'\n'.join(lines)


def normalise_log(data, ports):
    """Records of a run of many come as their stations end: by batch and port."""
    lines = [l for l in data.split(b'\n') if l]

    def order(line):
        try:
            record = json.loads(line.decode())
            port = common(str(record.get('port')).encode(), '/nowhere')
            return (record.get('batch') or 0, ports.index(port) if port in ports else -1)
        except (ValueError, UnicodeDecodeError, AttributeError):
            return (0, -1)
    return b'\n'.join(sorted(lines, key=order)) + b'\n'


def normalise(scenario, raw, folder, names):
    out = {}
    ports = ports_of(scenario, names)
    is_json = '-json' in [a.lower() for a in scenario.args]
    for item, data in raw.items():
        data = common(data, folder)
        if item in ('stdout', 'stderr', 'log'):
            data = TIME_FIELD.sub(rb'"\1":"<time>"', data)
        if item == 'stdout' and scenario.stdout == 'pty':
            item, data = 'screen', render(data)
        elif item == 'stdout':
            data = console(data)
            if 'progress' in scenario.vary:
                data = PROGRESS_STEPS.sub(b'', data)
            data = normalise_lines(data, scenario, ports, is_json)
        elif item == 'stderr':
            data = normalise_lines(data, scenario, ports, False)
        elif item == 'log':
            data = normalise_log(data, ports)
        if item == 'station' and 'station' in scenario.vary:
            continue
        if item == 'station':
            # The station takes a pulse from each purge status it reads; one
            # purge of both queues may reach it as one status or as two, by
            # when it looks. A pulse that really is one more brings one more
            # start byte, and start_bytes is compared.
            data = re.sub(rb'"resets":\d+', b'"resets":"<n>"', data)
        out[item] = data
    return out

# ---------------------------------------------------------------- the terminal

CSI = re.compile(r'\x1b\[([?0-9;]*)([A-Za-z])')


class Screen:
    """What a terminal shows of the bytes written to it: the text and its red parts."""

    def __init__(self, width):
        self.rows = [[]]
        self.row = self.col = 0
        self.red = False
        self.width = width

    def put(self, ch):
        if self.col >= self.width:
            self.row, self.col = self.row + 1, 0
        while len(self.rows) <= self.row:
            self.rows.append([])
        line = self.rows[self.row]
        line += [(' ', False)] * (self.col + 1 - len(line))
        line[self.col] = (ch, self.red)
        self.col += 1

    def csi(self, params, command):
        n = int(params) if params.isdigit() else 1
        if command == 'A':
            self.row = max(0, self.row - n)
        elif command == 'K' and self.row < len(self.rows):
            del self.rows[self.row][self.col:]
        elif command == 'J':
            del self.rows[self.row + 1:]
            if self.row < len(self.rows):
                del self.rows[self.row][self.col:]
        elif command == 'm':
            self.red = params == '91'
        elif not (command in 'hl' and params == '?25'):
            for ch in '<CSI %s%s>' % (params, command):
                self.put(ch)

    def feed(self, text):
        at = 0
        while at < len(text):
            match = CSI.match(text, at)
            if match:
                self.csi(match.group(1), match.group(2))
                at = match.end()
                continue
            ch = text[at]
            if ch == '\r':
                self.col = 0
            elif ch == '\n':
                self.row += 1
            elif ch == '\b':
                self.col = max(0, self.col - 1)
            else:
                self.put(ch if ch.isprintable() else '<%02X>' % ord(ch))
            at += 1

    def text(self):
        lines = []
        for cells in self.rows:
            line, red = '', False
            for ch, is_red in cells:
                if is_red != red:
                    line += '\x1b[91m' if is_red else '\x1b[0m'
                    red = is_red
                line += ch
            lines.append((line + ('\x1b[0m' if red else '')).rstrip(' '))
        while lines and not lines[-1]:
            lines.pop()
        return '\n'.join(lines) + '\n'


def render(data):
    screen = Screen(COLUMNS)
    screen.feed(data.decode('utf-8', 'replace'))
    return console(VIEW_SECONDS.sub(' <s> с', screen.text()).encode())

# ---------------------------------------------------------------- comparing

DECODER = json.JSONDecoder()


def strip_field(line, name):
    """The line without the field: as the old build would write it."""
    for lead in (',', '{'):
        at = line.find(lead + '"%s":' % name)
        if at < 0:
            continue
        try:
            _, end = DECODER.raw_decode(line, at + len(name) + 4)
        except ValueError:
            return line
        if lead == ',':
            return line[:at] + line[end:]
        return line[:at + 1] + line[end + 1 if line[end:end + 1] == ',' else end:]
    return line


def only_new_fields(old, new, fields):
    old_lines, new_lines = old.split(b'\n'), new.split(b'\n')
    if len(old_lines) != len(new_lines):
        return False
    for o, n in zip(old_lines, new_lines):
        if o == n:
            continue
        o, n = o.decode('utf-8', 'surrogateescape'), n.decode('utf-8', 'surrogateescape')
        for field in fields:
            if '"%s":' % field not in o:
                n = strip_field(n, field)
        if o != n:
            return False
    return True


def shown(data, around=None, width=110):
    text = data.decode('utf-8', 'replace')
    if around is not None and len(text) > width:
        start = max(0, around - width // 2)
        text = ('…' if start else '') + text[start:start + width] + '…'
    elif len(text) > width:
        text = text[:width] + '…'
    return ''.join(c if c.isprintable() else {'\b': '\\b', '\x1b': '\\e', '\r': '\\r'}.get(
        c, '\\x%02x' % ord(c)) for c in text)


def first_difference(a, b):
    a, b = a.decode('utf-8', 'replace'), b.decode('utf-8', 'replace')
    for i, (x, y) in enumerate(zip(a, b)):
        if x != y:
            return i
    return min(len(a), len(b))


def short_diff(old, new, most=4):
    """The first few differing lines of each side, each around where it differs."""
    a, b = old.split(b'\n'), new.split(b'\n')
    out, count = [], 0
    matcher = difflib.SequenceMatcher(a=a, b=b, autojunk=False)
    for tag, i1, i2, j1, j2 in matcher.get_opcodes():
        if tag == 'equal':
            continue
        count += max(i2 - i1, j2 - j1)
        for k in range(max(i2 - i1, j2 - j1)):
            if len(out) >= 2 * most:
                break
            x = a[i1 + k] if i1 + k < i2 else None
            y = b[j1 + k] if j1 + k < j2 else None
            at = first_difference(x, y) if x is not None and y is not None else None
            if x is not None:
                out.append('      - line %d: %s' % (i1 + k + 1, shown(x, at)))
            if y is not None:
                out.append('      + line %d: %s' % (j1 + k + 1, shown(y, at)))
    if count > most:
        out.append('      (%d lines differ in all)' % count)
    return out


def compare(old, new, fields):
    """'same', 'new-fields' or 'differs', with what differs."""
    verdict, notes, names = 'same', [], []
    for item in list(dict.fromkeys(list(old) + list(new))):
        a, b = old.get(item, b'(none)\n'), new.get(item, b'(none)\n')
        if a == b:
            continue
        if item in ('stdout', 'log') and only_new_fields(a, b, fields):
            names.append(item + ' (new fields)')
            verdict = 'new-fields' if verdict == 'same' else verdict
            continue
        verdict = 'differs'
        names.append(item)
        notes.append('    %s:' % item)
        notes += short_diff(a, b)
    return verdict, names, notes

# ---------------------------------------------------------------- the whole


@dataclasses.dataclass
class Build:
    label: str
    tool: str
    windows_exe: str


@dataclasses.dataclass
class Context:
    root: str
    sim: str
    files: dict
    ser2net: str = ''
    wineprefix: str = ''


def dump_results(scenario, builds, results, attempt):
    dump = os.environ.get('COMPARE_DUMP')
    if not dump:
        return
    for build, result in zip(builds, results):
        folder = os.path.join(dump, scenario.name + ('.again' if attempt else ''), build.label)
        os.makedirs(folder, exist_ok=True)
        for item, data in result.items():
            with open(os.path.join(folder, item.replace(' ', '-')), 'wb') as f:
                f.write(data)


def run_scenario(scenario, builds, ctx, fields):
    """The scenario through both builds; once more when they differ, since a
    loaded machine (or another program opening a freed pseudo-terminal) can
    upset one run: a difference counts when it comes twice."""
    first = ''
    for attempt in range(2):
        try:
            results = [run_once(scenario, build, ctx) for build in builds]
        except (SetupError, OSError) as error:
            verdict, names, notes = 'differs', ['could not run'], ['    ' + str(error)]
        else:
            dump_results(scenario, builds, results, attempt)
            verdict, names, notes = compare(results[0], results[1], fields)
        if verdict != 'differs':
            return Done(scenario, verdict, names, notes, first)
        first = ', '.join(names)
    return Done(scenario, verdict, names, notes, '')


@dataclasses.dataclass
class Done:
    scenario: Scenario
    verdict: str
    names: list
    notes: list
    once: str  # what differed on the first try, when the second was alike


def set_up_wine(ctx, builds):
    """A Wine prefix with a server kept up, or the reason there is none."""
    missing = [b.label for b in builds if not b.windows_exe or not os.path.isfile(b.windows_exe)]
    if missing:
        return 'no Windows build for %s (OLD_WIN_EXE/NEW_WIN_EXE)' % ' and '.join(missing)
    if shutil.which('wine') is None or shutil.which('wineserver') is None:
        return 'Wine is not installed'
    ctx.wineprefix = os.environ.get('COMPARE_WINEPREFIX') or os.path.join(ctx.root, 'wineprefix')
    env = dict(os.environ, WINEPREFIX=ctx.wineprefix, WINEDEBUG='-all')
    if not os.path.isdir(os.path.join(ctx.wineprefix, 'dosdevices')):
        subprocess.run(['wineboot', '-i'], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)
        subprocess.run(['wineserver', '-w'], env=env, check=True)
    subprocess.run(['wineserver', '-p'], env=env, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)
    return None


def stop_wine(ctx):
    if ctx.wineprefix:
        env = dict(os.environ, WINEPREFIX=ctx.wineprefix)
        subprocess.run(['wineserver', '-k'], env=env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=False)


def choose(scenarios, ctx, builds):
    """The scenarios this machine can run, and notices for the others."""
    notices = []
    only = os.environ.get('COMPARE_ONLY')
    if only:
        scenarios = [s for s in scenarios if re.search(only, s.name)]
    if any(s.windows for s in scenarios):
        reason = set_up_wine(ctx, builds)
        if reason is not None:
            skipped = [s for s in scenarios if s.windows]
            scenarios = [s for s in scenarios if not s.windows]
            notices.append('skipped %d Wine scenarios: %s' % (len(skipped), reason))
    if not os.access(ctx.ser2net, os.X_OK):
        networked = [s for s in scenarios if any(st.network for st in s.stations)]
        scenarios = [s for s in scenarios if s not in networked]
        notices.append('skipped %d network scenarios: %s is not there' % (len(networked), ctx.ser2net))
    if sys_file() is None:
        notices.append('no file-read-error scenario: no /sys file reads short here')
    return scenarios, notices


def report(done, verbose):
    name = done.scenario.name
    if done.verdict == 'differs':
        print('DIFFERS     %s: %s' % (name, ', '.join(done.names)))
        print('\n'.join(done.notes))
    elif done.verdict == 'new-fields':
        print('NEW FIELDS  %s: %s' % (name, ', '.join(done.names)))
    elif verbose:
        print('same        %s' % name)
    if done.once:
        print('notice: %s differed on its first try only (%s)' % (name, done.once))
    sys.stdout.flush()


def run_all(scenarios, builds, ctx, fields):
    """Every scenario, two at a time (COMPARE_JOBS), then the Wine ones alone:
    Wine is slow enough that a second run beside it upsets its timing."""
    jobs = int(os.environ.get('COMPARE_JOBS', '2'))
    verbose = os.environ.get('COMPARE_VERBOSE') == '1'
    counts = {'same': 0, 'differs': 0, 'new-fields': 0, 'once': 0}
    for group, width in (([s for s in scenarios if not s.windows], jobs),
                         ([s for s in scenarios if s.windows], 1)):
        with concurrent.futures.ThreadPoolExecutor(width) as pool:
            futures = [pool.submit(run_scenario, s, builds, ctx, fields) for s in group]
            for future in concurrent.futures.as_completed(futures):
                done = future.result()
                counts[done.verdict] += 1
                counts['once'] += bool(done.once)
                report(done, verbose)
    return counts


def main():
    old, new = sys.argv[1], sys.argv[2]
    builds = [Build('OLD', os.path.join(old, 'travek32'), os.environ.get('OLD_WIN_EXE', '')),
              Build('NEW', os.path.join(new, 'travek32'), os.environ.get('NEW_WIN_EXE', ''))]
    fields = [f for f in os.environ.get('COMPARE_NEW_FIELDS', 'reason').split(',') if f]
    root = tempfile.mkdtemp(prefix='compare-builds-')
    ctx = Context(root, os.environ.get('COMPARE_SIM') or os.path.join(old, 'sim/station-sim'),
                  make_registry(), shutil.which('ser2net') or '/usr/sbin/ser2net')
    started = time.monotonic()
    try:
        scenarios, notices = choose(all_scenarios(), ctx, builds)
        for notice in notices:
            print('notice: ' + notice)
        counts = run_all(scenarios, builds, ctx, fields)
    finally:
        stop_wine(ctx)
        shutil.rmtree(root, ignore_errors=True)
    print('%d scenarios in %.0f s: %d differ; differs only by new fields: %d; differed on the '
          'first try only: %d' % (len(scenarios), time.monotonic() - started, counts['differs'],
                                  counts['new-fields'], counts['once']))
    return 1 if counts['differs'] else 0


if __name__ == '__main__':
    sys.exit(main())
