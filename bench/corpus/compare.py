#!/usr/bin/python3
"""Compares every file of the real-file corpus (bench/corpus/fetch.sh) read through tavelo-probe
with independent references, and prints a table per format: files, exact, close, differs, refused.

    [JOBS=4] bench/corpus/compare.py CORPUS_DIR [PROBE] [--list]

Pictures: the first frame against Pillow, gdk-pixbuf, ImageMagick and FFmpeg in turn, pixel by
pixel in R, G, B, keeping the best agreement (the references disagree among themselves on damaged
files and some codings); where the reference has alpha only pixels
with alpha above 0 are compared (the probe's dump has no alpha). Movies: the first 10 frame slots
against FFmpeg's frames placed by their timestamps (Pillow's for FLIC files FFmpeg does not read). Sounds: every sample against FFmpeg's decode at the depth the probe delivers.
"exact": equal; "close": every value within 2 (pictures, frames) or 1 (samples) and the same
count; "differs": anything else; "refused": the probe fails where a reference reads the file.
Files no reference reads are counted under "unread" and not compared. --list prints every file
that is not exact. Needs python3-pil, gir1.2-gdkpixbuf-2.0, imagemagick and ffmpeg.
"""
import os
import subprocess
import sys
import tempfile
from collections import defaultdict

PICTURES = {'.bmp', '.gif', '.tga', '.pcx', '.png', '.jpg', '.jpeg', '.tif', '.tiff', '.pbm', '.pgm', '.ppm',
            '.pnm', '.ras', '.sun', '.sgi', '.rgb', '.xpm', '.jp2', '.j2k', '.ico'}
MOVIES = {'.fli', '.flc', '.avi', '.mpg', '.mpeg', '.m2v', '.mp4', '.ogv', '.wmv'}
SOUNDS = {'.wav', '.ogg', '.oga', '.mp3', '.wma'}


def limit_memory():
    # A file that asks for more than 4 GB must not take the machine down.
    import resource
    resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))


def run(args, timeout=120):
    try:
        return subprocess.run(args, capture_output=True, timeout=timeout, preexec_fn=limit_memory)
    except subprocess.TimeoutExpired:
        return None


def read_ppm(path):
    with open(path, 'rb') as f:
        data = f.read()
    # P6, width, height, maxval, each token possibly after comments; one white byte then samples.
    tokens, pos = [], 0
    while len(tokens) < 4:
        while data[pos:pos + 1].isspace():
            pos += 1
        if data[pos:pos + 1] == b'#':
            pos = data.index(b'\n', pos) + 1
            continue
        start = pos
        while not data[pos:pos + 1].isspace():
            pos += 1
        tokens.append(data[start:pos])
    w, h = int(tokens[1]), int(tokens[2])
    return w, h, data[pos + 1:pos + 1 + w * h * 3]


def reference_pictures(path, tmp):
    """(name, width, height, rgb bytes, alpha bytes or None) of each reference that reads it, in
    turn: Pillow, gdk-pixbuf, ImageMagick, FFmpeg."""
    try:
        from PIL import Image
        with Image.open(path) as im:
            im.seek(0)
            rgba = im.convert('RGBA')
            a = rgba.tobytes()[3::4]
            yield 'Pillow', rgba.width, rgba.height, rgba.convert('RGB').tobytes(), a
    except Exception:
        pass
    try:
        import gi
        gi.require_version('GdkPixbuf', '2.0')
        from gi.repository import GdkPixbuf
        pb = GdkPixbuf.Pixbuf.new_from_file(path)
        n, stride, w, h = pb.get_n_channels(), pb.get_rowstride(), pb.get_width(), pb.get_height()
        px = pb.get_pixels()
        rgb, alpha = bytearray(), bytearray()
        for y in range(h):
            row = px[y * stride:y * stride + w * n]
            for x in range(w):
                rgb += row[x * n:x * n + 3]
                alpha.append(row[x * n + 3] if n == 4 else 255)
        yield 'gdk-pixbuf', w, h, bytes(rgb), bytes(alpha)
    except Exception:
        pass
    out = os.path.join(tmp, 'ref.ppm')
    r = run(['convert', path + '[0]', '-depth', '8', out])
    if r is not None and r.returncode == 0 and os.path.exists(out):
        w, h, rgb = read_ppm(out)
        yield 'ImageMagick', w, h, rgb, None
        os.remove(out)
    r = run(['ffmpeg', '-v', 'error', '-y', '-i', path, '-frames:v', '1', '-pix_fmt', 'rgb24', '-f', 'image2',
             '-c:v', 'ppm', out])
    if r is not None and r.returncode == 0 and os.path.exists(out):
        w, h, rgb = read_ppm(out)
        yield 'FFmpeg', w, h, rgb, None


def compare_rgb(a, b, alpha, tolerance):
    if len(a) != len(b):
        return 'differs'
    worst = 0
    for i in range(len(a)):
        if alpha is not None and alpha[i // 3] == 0:
            continue
        d = abs(a[i] - b[i])
        if d > worst:
            worst = d
            if worst > tolerance:
                return 'differs'
    return 'exact' if worst == 0 else 'close'


def check_picture(probe, path, tmp):
    """The best agreement with any reference: the references disagree among themselves on damaged
    files and on some codings, so a file is compared with the next one while it differs."""
    r = run([probe, 'frames', path, '--count', '1', '--out', tmp])
    ours = None
    if r is not None and r.returncode == 0:
        w, h, ours = read_ppm(os.path.join(tmp, 'frame_1.ppm'))
    rank = {'exact': 0, 'close': 1, 'differs': 2}
    best = None
    for name, rw, rh, rgb, alpha in reference_pictures(path, tmp):
        if ours is None:
            return 'refused', (r.stderr.decode(errors='replace').strip() if r else 'timeout')
        if (w, h) != (rw, rh):
            result = ('differs', '%s: %dx%d against %dx%d' % (name, w, h, rw, rh))
        else:
            result = (compare_rgb(ours, rgb, alpha, 2), name)
        if best is None or rank[result[0]] < rank[best[0]]:
            best = result
        if best[0] == 'exact':
            break
    return best if best is not None else ('unread', '')


def place_by_time(path, frames, slots=10):
    """The first slots frame slots of a movie as a player shows them: each decoded frame (in the
    decoder's order) from the slot of its own timestamp on, held until the next one. FFmpeg's own
    constant-rate output is not used: after a gap in the timestamps (frames the file leaves out)
    it shows the next frame one slot early (it repeats the frame before the gap only
    lrint(gap - 0.6) times). Without usable timestamps the frames are taken as they come."""
    r = run(['ffprobe', '-v', 'error', '-select_streams', 'v:0', '-read_intervals', '%+#40', '-show_entries',
             'stream=r_frame_rate,time_base:frame=best_effort_timestamp', '-of', 'csv=p=0', path])
    if r is None or r.returncode != 0:
        return frames
    from fractions import Fraction

    def fraction(v):
        try:
            f = Fraction(v)
            return f if f > 0 else None
        except (ValueError, ZeroDivisionError):
            return None
    times, rate, tb = [], None, None
    for line in r.stdout.decode(errors='replace').split():
        if '/' in line:
            parts = line.split(',')
            if len(parts) == 2:
                rate, tb = fraction(parts[0]), fraction(parts[1])
        else:
            v = line.strip(',')
            times.append(int(v) if v.lstrip('-').isdigit() else None)
    if rate is None or tb is None or len(times) < len(frames) or None in times[:len(frames)]:
        return frames
    times = times[:len(frames)]
    placed = [round((t - times[0]) * tb * rate) for t in times]
    if placed != sorted(placed):
        return frames
    shown = []
    for k in range(min(slots, placed[-1] + 1) if placed else 0):
        shown.append(frames[max(j for j in range(len(frames)) if placed[j] <= k)])
    return shown


def check_movie(probe, path, tmp):
    refdir = os.path.join(tmp, 'ref')
    os.makedirs(refdir, exist_ok=True)
    # Every decoded frame once, in the decoder's order (place_by_time puts them in their slots).
    r = run(['ffmpeg', '-v', 'error', '-y', '-i', path, '-fps_mode', 'passthrough', '-frames:v', '10', '-pix_fmt', 'rgb24',
             '-f', 'image2', '-c:v', 'ppm', os.path.join(refdir, 'f%d.ppm')])
    refs = sorted(os.listdir(refdir), key=lambda n: int(n[1:-4])) if r is not None and r.returncode == 0 else []
    frames = place_by_time(path, [read_ppm(os.path.join(refdir, n))[2] for n in refs])
    name = 'FFmpeg'
    if not frames:
        # FFmpeg's FLIC reader gives nothing for files whose last chunk lacks its padding byte.
        try:
            from PIL import Image
            with Image.open(path) as im:
                for k in range(10):
                    im.seek(k)
                    frames.append(im.convert('RGB').tobytes())
        except Exception:
            pass
        name = 'Pillow'
    p = run([probe, 'frames', path, '--count', str(max(1, len(frames))), '--out', tmp])
    if not frames:
        return 'unread', ''
    if p is None or p.returncode != 0:
        return 'refused', (p.stderr.decode(errors='replace').strip() if p else 'timeout')
    worst = 'exact'
    for i, ref in enumerate(frames):
        _, _, ours = read_ppm(os.path.join(tmp, 'frame_%d.ppm' % (i + 1)))
        c = compare_rgb(ours, ref, None, 2)
        if c == 'differs':
            return 'differs', 'frame %d' % (i + 1)
        if c == 'close':
            worst = 'close'
    return worst, name


def check_sound(probe, path, tmp):
    ours_wav = os.path.join(tmp, 'ours.wav')
    p = run([probe, 'sound', path, '--out', ours_wav])
    ok = p is not None and p.returncode == 0
    bits = 16
    if ok:
        with open(ours_wav, 'rb') as f:
            head = f.read(44)
        bits = head[34] | (head[35] << 8)
    codec = {8: 'pcm_u8', 16: 'pcm_s16le', 24: 'pcm_s24le', 32: 'pcm_s32le'}.get(bits, 'pcm_s16le')
    ref_raw = os.path.join(tmp, 'ref.raw')
    r = run(['ffmpeg', '-v', 'error', '-y', '-i', path, '-vn', '-f', codec[4:], '-c:a', codec, ref_raw])
    if r is None or r.returncode != 0:
        return 'unread', ''
    if not ok:
        return 'refused', (p.stderr.decode(errors='replace').strip() if p else 'timeout')
    with open(ours_wav, 'rb') as f:
        ours = f.read()[44:]
    with open(ref_raw, 'rb') as f:
        ref = f.read()
    if ours == ref:
        return 'exact', ''
    if len(ours) != len(ref) or bits != 16:
        return 'differs', 'bytes %d against %d' % (len(ours), len(ref))
    import array
    a, b = array.array('h', ours), array.array('h', ref)
    return ('close' if max(abs(x - y) for x, y in zip(a, b)) <= 1 else 'differs'), ''


def checker(name):
    ext = os.path.splitext(name)[1].lower()
    return check_picture if ext in PICTURES else check_movie if ext in MOVIES else \
        check_sound if ext in SOUNDS else None


def check_one(job):
    probe, corpus, path = job
    print(os.path.relpath(path, corpus), file=sys.stderr, flush=True)
    with tempfile.TemporaryDirectory() as tmp:
        try:
            return checker(path)(probe, path, tmp)
        except Exception as e:  # a reference that breaks on the file: not compared
            return 'unread', repr(e)


def main():
    limit_memory()
    args = [a for a in sys.argv[1:] if not a.startswith('--')]
    listing = '--list' in sys.argv
    corpus = os.path.join(args[0], 'media')
    probe = args[1] if len(args) > 1 else os.path.join(os.path.dirname(__file__), '../../build/tavelo-probe')
    jobs = [(probe, corpus, os.path.join(root, name)) for root, _, files in sorted(os.walk(corpus))
            for name in sorted(files) if checker(name) is not None]
    import multiprocessing
    with multiprocessing.Pool(int(os.environ.get('JOBS', '4'))) as pool:
        results = pool.map(check_one, jobs, chunksize=1)
    table = defaultdict(lambda: defaultdict(int))
    notes = []
    for (_, _, path), (result, why) in zip(jobs, results):
        ext = os.path.splitext(path)[1].lower()
        table[ext][result] += 1
        table[ext]['files'] += 1
        if result != 'exact':
            notes.append('%-8s %s  %s' % (result, os.path.relpath(path, corpus), why))
    cols = ['files', 'exact', 'close', 'differs', 'refused', 'unread']
    print('| format | ' + ' | '.join(cols) + ' |')
    print('|---' * (len(cols) + 1) + '|')
    total = defaultdict(int)
    for ext in sorted(table):
        print('| %s | ' % ext + ' | '.join(str(table[ext][c]) for c in cols) + ' |')
        for c in cols:
            total[c] += table[ext][c]
    print('| all | ' + ' | '.join(str(total[c]) for c in cols) + ' |')
    if listing:
        print()
        for n in notes:
            print(n)


if __name__ == '__main__':
    main()
