#!/usr/bin/env python3
"""How soon a recording starts and how soon it ends: traytape-cli against
parecord and pw-record, on a private PulseAudio and a private PipeWire.

A counter plays into a null sink (left channel the low 16 bits of the frame
number, right channel the high ones), so every recorded frame says which
frame of the counter it is, and a reader with a 5 ms latency on the sink's
monitor ties frame numbers to the clock. For each run:
  start: from the process's start to the moment its file's first frame played
  exit:  from the moment its file's last frame played to the process's exit
  gaps:  frames missing or repeated inside the file
traytape-cli records with --seconds; the peers get SIGINT after the same time.
  bench/compare_start.py [build-dir] [runs]
"""
import os
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import threading
import time

RATE = 44100
SECONDS = 2.0
FIRST = 1 << 20  # the counter's first frame: no counter frame is silence


def counter_cycle(high):
    """Frames high << 16 to (high << 16) + 65535, made at C speed."""
    frames = bytearray(65536 * 4)
    frames[0::4] = bytes(range(256)) * 256
    frames[1::4] = bytes(b for b in range(256) for _ in range(256))
    frames[2::4] = bytes([high & 0xFF]) * 65536
    frames[3::4] = bytes([high >> 8]) * 65536
    return bytes(frames)


def frame_number(left, right):
    return (right << 16) | (left & 0xFFFF)


def read_wav(path):
    """The frame numbers in a WAVE file, and how many frames were silence before the first."""
    with open(path, 'rb') as f:
        b = f.read()
    pos, fmt, data = 12, None, b''
    while pos + 8 <= len(b):
        cid, size = b[pos:pos + 4], struct.unpack_from('<I', b, pos + 4)[0]
        if cid == b'fmt ':
            fmt = struct.unpack_from('<HHIIHH', b, pos + 8)
        if cid == b'data':
            end = len(b) if size == 0xFFFFFFFF or pos + 8 + size > len(b) else pos + 8 + size
            data = b[pos + 8:end]
            break
        pos += 8 + size + (size & 1)
    channels, bits = fmt[1], fmt[5]
    width = bits // 8
    count = len(data) // (width * channels)
    values = struct.unpack_from('<%d%s' % (count * channels, 'i' if width == 4 else 'h'), data)
    shift = 16 if width == 4 else 0
    frames = [frame_number(values[i * channels] >> shift, values[i * channels + 1] >> shift) for i in range(count)]
    silent = 0
    while silent < len(frames) and frames[silent] == 0:
        silent += 1
    return frames[silent:], silent


class Server:
    def __init__(self, kind):
        self.kind = kind
        self.dir = tempfile.mkdtemp(prefix='traytape-start-')
        run = os.path.join(self.dir, 'run')
        home = os.path.join(self.dir, 'home')
        os.makedirs(os.path.join(run, 'pulse'))
        os.chmod(run, 0o700)
        self.env = dict(os.environ, HOME=home, XDG_RUNTIME_DIR=run, XDG_CONFIG_HOME=home + '/.config',
                        XDG_STATE_HOME=self.dir + '/state', PULSE_RUNTIME_PATH=run + '/pulse')
        for name in ('PULSE_SINK', 'PULSE_SOURCE', 'PIPEWIRE_REMOTE', 'PIPEWIRE_RUNTIME_DIR', 'DISPLAY'):
            self.env.pop(name, None)
        if kind == 'pulseaudio':
            socket = run + '/native'
            script = ("pulseaudio -n -L 'module-native-protocol-unix socket=%s auth-anonymous=1' --daemonize=no "
                      "--exit-idle-time=-1 --use-pid-file=no --realtime=no --high-priority=no &\nwait\n" % socket)
        else:
            socket = run + '/pulse/native'
            for folder, text in (('main.lua.d', 'alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n'
                                  'libcamera_monitor.enabled = false\n'),
                                 ('bluetooth.lua.d', 'bluez_monitor.enabled = false\n')):
                os.makedirs(os.path.join(home, '.config/wireplumber', folder))
                with open(os.path.join(home, '.config/wireplumber', folder, '51-bench.lua'), 'w') as f:
                    f.write(text)
            # The graph at the counter's rate: resampled, its frames would not survive.
            os.makedirs(os.path.join(home, '.config/pipewire/pipewire.conf.d'))
            with open(os.path.join(home, '.config/pipewire/pipewire.conf.d/51-bench.conf'), 'w') as f:
                f.write('context.properties = { default.clock.rate = %d }\n' % RATE)
            self.env['DBUS_SESSION_BUS_ADDRESS'] = 'unix:path=' + run + '/bus'
            wait = 'i=0; while [ ! -S %s ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n'
            script = ('dbus-daemon --session --nofork --nopidfile --address=$DBUS_SESSION_BUS_ADDRESS &\n'
                      + wait % (run + '/bus') + 'pipewire &\n' + wait % (run + '/pipewire-0')
                      + 'wireplumber &\npipewire-pulse &\nwait\n')
        self.env['PULSE_SERVER'] = 'unix:' + socket
        self.keeper = subprocess.Popen(['sh', '-c', script], env=self.env, start_new_session=True,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 20
        while time.monotonic() < deadline:
            out = self.run(['pactl', 'list', 'clients'])
            if out is not None and (kind == 'pulseaudio' or 'WirePlumber' in out):
                break
            time.sleep(0.1)
        else:
            raise RuntimeError(kind + ' did not start')
        self.run(['pactl', 'load-module', 'module-null-sink', 'sink_name=bench', 'rate=%d' % RATE, 'channels=2'])

    def run(self, argv):
        r = subprocess.run(argv, env=self.env, capture_output=True, text=True)
        return r.stdout if r.returncode == 0 else None

    def stop(self):
        os.killpg(self.keeper.pid, signal.SIGTERM)
        self.keeper.wait()
        shutil.rmtree(self.dir, ignore_errors=True)


class Counter:
    """Plays the counter into the sink and keeps the clock of its frames."""

    def __init__(self, server):
        fmt = ['--raw', '--format=s16le', '--rate=%d' % RATE, '--channels=2']
        # A long buffer: an underrun would put silence between the frames.
        self.player = subprocess.Popen(['pacat', '--playback', '--device=bench', '--latency-msec=500'] + fmt,
                                       env=server.env, stdin=subprocess.PIPE)
        self.reader = subprocess.Popen(['pacat', '--record', '--device=bench.monitor', '--latency-msec=5'] + fmt,
                                       env=server.env, stdout=subprocess.PIPE)
        self.origin = None  # the clock's reading when frame 0 would have played
        self.stopping = False
        threading.Thread(target=self.play, daemon=True).start()
        threading.Thread(target=self.listen, daemon=True).start()

    def play(self):
        high = FIRST >> 16
        try:
            while not self.stopping:
                cycle = counter_cycle(high)
                for at in range(0, len(cycle), 4096):
                    self.player.stdin.write(cycle[at:at + 4096])
                self.player.stdin.flush()
                high += 1
        except (BrokenPipeError, ValueError):
            pass

    def listen(self):
        # A frame is heard no sooner than it plays: the earliest hearing
        # relative to its number gives the clock, within the reader's latency.
        # The first second is left out: a sink renders ahead of the clock until
        # the reader's short latency reaches it.
        fd = self.reader.stdout.fileno()
        pending = b''
        settled = time.monotonic() + 1
        while not self.stopping:
            chunk = os.read(fd, 65536)
            now = time.monotonic()
            if not chunk:
                return
            pending += chunk
            whole = len(pending) // 4 * 4
            if whole:
                left, right = struct.unpack_from('<hh', pending, whole - 4)
                n = frame_number(left, right)
                if n >= FIRST and now >= settled:
                    origin = now - (n + 1) / RATE
                    self.origin = origin if self.origin is None else min(self.origin, origin)
            pending = pending[whole:]

    def played(self, n):
        return self.origin + n / RATE

    def stop(self):
        self.stopping = True
        for p in (self.player, self.reader):
            p.kill()
            p.wait()


def measure(server, counter, argv, path, interrupt):
    if os.path.exists(path):
        os.remove(path)
    begun = time.monotonic()
    p = subprocess.Popen(argv, env=server.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    if interrupt:
        time.sleep(max(0.0, begun + SECONDS - time.monotonic()))
        p.send_signal(signal.SIGINT)
    p.wait()
    ended = time.monotonic()
    frames, silent = read_wav(path)
    if not frames:
        return None
    # Silence inside is the player's (the counter goes on after it where it
    # stopped); a frame missing or repeated is the recorder's.
    counted = [n for n in frames if n]
    gaps = sum(1 for a, b in zip(counted, counted[1:]) if b != a + 1)
    return (counter.played(frames[0]) - begun, ended - counter.played(frames[-1] + 1), len(frames) / RATE, gaps,
            silent, ended - begun)


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else 'build'
    runs = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    cli = os.path.realpath(os.path.join(build, 'traytape-cli'))
    work = tempfile.mkdtemp(prefix='traytape-start-files-')
    print('%-12s %-30s %9s %9s %9s %9s %6s %8s' % ('server', 'command (median of %d)' % runs, 'start ms', 'worst',
                                                 'exit ms', 'worst', 'gaps', 'length'))
    for kind in ('pulseaudio', 'pipewire'):
        if not shutil.which(kind):
            continue
        server = Server(kind)
        counter = Counter(server)
        try:
            deadline = time.monotonic() + 10
            while counter.origin is None and time.monotonic() < deadline:
                time.sleep(0.05)
            time.sleep(2)  # the reader's best hearing settles the clock
            fmt = ['--rate=%d' % RATE, '--channels=2']
            commands = [
                ('traytape-cli record --seconds 2', [cli, 'record', '--device', 'bench.monitor', '--seconds',
                                                     str(SECONDS), '--force', work + '/t.wav'], work + '/t.wav', False),
                ('parecord --latency-msec=20', ['parecord', '--device=bench.monitor', '--latency-msec=20',
                                                '--file-format=wav', '--format=s16le'] + fmt + [work + '/p.wav'],
                 work + '/p.wav', True),
            ]
            if kind == 'pipewire' and shutil.which('pw-record'):
                commands.append(('pw-record', ['pw-record', '--target', 'bench', '-P', '{ stream.capture.sink = true }',
                                               '--rate', str(RATE), '--channels', '2', '--format', 's16',
                                               work + '/w.wav'], work + '/w.wav', True))
            results = {label: [] for label, *_ in commands}
            for _ in range(runs):  # in turns, so a busy spell falls on all alike
                for label, argv, path, interrupt in commands:
                    r = measure(server, counter, argv, path, interrupt)
                    if r:
                        results[label].append(r)
            for label, rows in results.items():
                if not rows:
                    print('%-12s %-30s   no audio recorded' % (kind, label))
                    continue
                starts = [r[0] * 1000 for r in rows]
                exits = [r[1] * 1000 for r in rows]
                print('%-12s %-30s %9.0f %9.0f %9.0f %9.0f %6d %8.3f' % (
                    kind, label, statistics.median(starts), max(starts), statistics.median(exits), max(exits),
                    sum(r[3] for r in rows), statistics.median(r[2] for r in rows)))
        finally:
            counter.stop()
            server.stop()
    shutil.rmtree(work, ignore_errors=True)
    print('start: process start to its file\'s first frame playing; exit: its last frame playing to the exit.')
    print('targets for traytape-cli: start within 150 ms, exit within 300 ms.')


if __name__ == '__main__':
    main()
