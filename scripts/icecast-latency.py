#!/usr/bin/env python3
"""Delay from a sound entering the station to it leaving curl.

Runs velmora-station live from its standard input (SETTINGS names the
Icecast mount), writes silence paced at the station's rate while keeping the
pipe nearly empty, then a tone; curl listens on the mount and a streaming
decoder (opusdec or lame) turns what curl passes on into samples. The delay
is the time from writing the tone's first block to the decoder giving out
its first loud samples. Prints the delay in milliseconds.

    icecast-latency.py BIN_DIR SETTINGS WORK_DIR URL opus|mp3
"""
import fcntl, os, subprocess, sys, termios, threading, time, array, struct

bin_dir, settings, work, url, fmt = sys.argv[1:6]
rate, block = 44100, 2048
env = dict(os.environ, VELMORA_HOME=work, XDG_RUNTIME_DIR=work, XDG_CONFIG_HOME=work)
station = subprocess.Popen([f"{bin_dir}/velmora-station", settings, "--capture", "-", "--status-interval", "0"],
                           stdin=subprocess.PIPE, stdout=open(f"{work}/latency-station.out", "w"),
                           stderr=subprocess.STDOUT, env=env)
tone_at = None
stop = False

def writer():
    global tone_at
    silence = bytes([128]) * block
    tone = bytes(int(128 + 100 * (1 if (i // 22) % 2 else -1)) for i in range(block))  # ~1 kHz square
    start = time.monotonic()
    n = 0
    fd = station.stdin.fileno()
    while not stop:
        n += 1
        now = time.monotonic()
        due = start + n * block / rate
        if due > now:
            time.sleep(due - now)
        waiting = array.array("i", [0])
        fcntl.ioctl(fd, termios.FIONREAD, waiting)
        if waiting[0] >= block:   # the station is behind: this block would wait in the pipe
            continue
        loud = time.monotonic() - start > 8.0
        if loud and tone_at is None:
            tone_at = time.monotonic()
        try:
            os.write(fd, tone if loud else silence)
        except BrokenPipeError:
            return

threading.Thread(target=writer, daemon=True).start()
time.sleep(4.0)  # the station is on the air and connected
curl = subprocess.Popen(["curl", "-sN", url], stdout=subprocess.PIPE)
decoder_args = (["stdbuf", "-o0", "opusdec", "--quiet", "--rate", "48000", "-", "-"] if fmt == "opus"
                else ["stdbuf", "-o0", "lame", "--quiet", "--decode", "--mp3input", "-t", "-", "-"])
decoder = subprocess.Popen(decoder_args, stdin=curl.stdout, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
heard_at = None
deadline = time.monotonic() + 15
while time.monotonic() < deadline:
    chunk = decoder.stdout.read1(4096)
    if not chunk:
        break
    samples = array.array("h", chunk[: len(chunk) // 2 * 2])
    if tone_at is not None and samples and max(abs(s) for s in samples) > 8000:
        heard_at = time.monotonic()
        break
stop = True
for p in (decoder, curl, station):
    p.terminate()
for p in (decoder, curl, station):
    p.wait()
if heard_at is None or tone_at is None:
    print("no tone heard", file=sys.stderr)
    sys.exit(1)
print(f"{(heard_at - tone_at) * 1000:.0f}")
