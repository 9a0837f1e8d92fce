#!/usr/bin/env python3
"""Makes the media files of the lossless-save test with other programs only
(lame, flac, oggenc, opusenc, ffmpeg, AtomicParsley, mutagen) and dumps what
an independent reader (mutagen) finds in them.

  corpus_tool.py make KIND PATH   make a file of KIND at PATH
  corpus_tool.py dump PATH        all tags and the audio's checksum, as JSON
  corpus_tool.py diff A B         the keys whose values differ between two dumps
  corpus_tool.py values PATH      the length and the text fields as sorted "KEY=value" lines
  corpus_tool.py lengths FOLDER   make files of every format whose length Meridex reads from
                                  the stream's headers; print "NAME LENGTH_MS" lines (mutagen's)

Exit status 77 with the reason on standard error when a program is missing.
"""

import base64
import hashlib
import json
import math
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import wave

try:
    import mutagen
    from mutagen import apev2, asf, flac, id3, mp4, oggopus, oggvorbis
except ImportError:
    print("python3-mutagen is needed", file=sys.stderr)
    sys.exit(77)

MISSING = 77


def need(*programs):
    for program in programs:
        if shutil.which(program) is None:
            print(f"{program} is needed (Debian package of the same name or ffmpeg/vorbis-tools/opus-tools/atomicparsley)",
                  file=sys.stderr)
            sys.exit(MISSING)


def run(*command):
    subprocess.run(command, check=True, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def sine_wav(path, seconds=0.5, rate=44100):
    with wave.open(path, "wb") as out:
        out.setnchannels(1)
        out.setsampwidth(2)
        out.setframerate(rate)
        frames = bytearray()
        for i in range(int(seconds * rate)):
            frames += struct.pack("<h", int(8000 * math.sin(2 * math.pi * 440 * i / rate)))
        out.writeframes(bytes(frames))


def picture(folder, name, size, colour):
    need("ffmpeg")
    path = os.path.join(folder, name)
    run("ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i", f"color={colour}:s={size}x{size}",
        "-frames:v", "1", path)
    with open(path, "rb") as f:
        return f.read()


LYRICS = {"eng": "English words\nsecond line", "deu": "Deutsche Worte\nzweite Zeile",
          "jpn": "nihongo no kotoba"}


def id3_frames(tags, folder, multi):
    tags.add(id3.TIT2(encoding=3, text=["Song Title"]))
    tags.add(id3.TPE1(encoding=3, text=["First Artist", "Second Artist"] if multi else ["First Artist"]))
    tags.add(id3.TALB(encoding=3, text=["Old Album"]))
    tags.add(id3.TCON(encoding=3, text=["Folk", "Acoustic"] if multi else ["Folk"]))
    tags.add(id3.TDRC(encoding=3, text=["2001"]))
    tags.add(id3.TRCK(encoding=3, text=["3/12"]))
    tags.add(id3.USLT(encoding=3, lang="eng", desc="", text=LYRICS["eng"]))
    tags.add(id3.USLT(encoding=3, lang="deu", desc="", text=LYRICS["deu"]))
    tags.add(id3.USLT(encoding=3, lang="jpn", desc="romaji", text=LYRICS["jpn"]))
    tags.add(id3.COMM(encoding=3, lang="eng", desc="", text=["An English comment"]))
    tags.add(id3.COMM(encoding=3, lang="fra", desc="", text=["Un commentaire"]))
    tags.add(id3.COMM(encoding=0, lang="eng", desc="iTunNORM", text=[" 00000A1B 00000B2C"]))
    tags.add(id3.TXXX(encoding=3, desc="MusicBrainz Album Id", text=["0a1b2c3d-0000-4000-8000-000000000001"]))
    tags.add(id3.TXXX(encoding=3, desc="REPLAYGAIN_TRACK_GAIN", text=["-6.50 dB"]))
    tags.add(id3.UFID(owner="http://musicbrainz.org", data=b"0a1b2c3d-0000-4000-8000-000000000002"))
    tags.add(id3.POPM(email="someone@example.org", rating=196, count=12))
    tags.add(id3.APIC(encoding=3, mime="image/jpeg", type=3, desc="", data=picture(folder, "front.jpg", 300, "red")))
    tags.add(id3.APIC(encoding=3, mime="image/png", type=4, desc="Back", data=picture(folder, "back.png", 120, "blue")))
    tags.add(id3.APIC(encoding=3, mime="image/jpeg", type=8, desc="Band", data=picture(folder, "band.jpg", 200, "green")))


def syncsafe(n):
    return bytes([(n >> 21) & 127, (n >> 14) & 127, (n >> 7) & 127, n & 127])


def tag_size(data):
    return data[6] << 21 | data[7] << 14 | data[8] << 7 | data[9]


def set_frame_flag(data, frame, byte, bit):
    """Sets a flag bit in the header of the first frame matching the pattern `frame`."""
    at = re.search(frame, data, re.DOTALL).start()
    return data[:at + byte] + bytes([data[at + byte] | bit]) + data[at + byte + 1:]


def odd_layout(kind, path):
    """Layouts and flags other taggers write that mutagen does not: an
    ID3v2.3 extended header with frames 2.4 retired and a frame flagged to be
    dropped by taggers that do not know it; an ID3v2.4 footer; a grouped frame."""
    with open(path, "rb") as f:
        data = f.read()
    size = tag_size(data)
    if kind == "mp3-v23-extended":
        data = set_frame_flag(data, rb"TXXX....\0\0\x01\xff\xfeF\0l", 8, 0x80)
        data = data[:5] + bytes([data[5] | 0x40]) + syncsafe(size + 10) + struct.pack(">IHI", 6, 0, 0) + data[10:]
    elif kind == "mp3-v24-footer":
        data = data[:5] + bytes([data[5] | 0x10]) + data[6:10 + size] + b"3DI" + data[3:4] + b"\0" + \
            bytes([data[5] | 0x10]) + data[6:10] + data[10 + size:]
    elif kind == "mp3-v24-grouped":
        data = set_frame_flag(data, b"PRIV", 9, 0x40)
    elif kind == "mp3-v24-latin1":
        data = data.replace(b"Latin Placeholder", b"L\xe4tin Placeholder")
    with open(path, "wb") as f:
        f.write(data)


def vorbis_fields(tags):
    tags["TITLE"] = ["Song Title"]
    tags["ARTIST"] = ["First Artist", "Second Artist"]
    tags["ALBUM"] = ["Old Album"]
    tags["GENRE"] = ["Electronic", "Ambient"]
    tags["DATE"] = ["2001"]
    tags["TRACKNUMBER"] = ["3"]
    tags["DESCRIPTION"] = ["A description written by another tagger"]
    tags["LYRICS"] = [LYRICS["eng"]]
    tags["REPLAYGAIN_TRACK_GAIN"] = ["-6.50 dB"]
    tags["MUSICBRAINZ_TRACKID"] = ["0a1b2c3d-0000-4000-8000-000000000002"]
    tags["RATING"] = ["80"]


def flac_picture(folder, name, size, colour, kind, description):
    p = flac.Picture()
    p.type = kind
    p.mime = "image/jpeg" if name.endswith(".jpg") else "image/png"
    p.desc = description
    p.width = p.height = size
    p.depth = 24
    p.data = picture(folder, name, size, colour)
    return p


def make(kind, path):
    folder = tempfile.mkdtemp()
    try:
        source = os.path.join(folder, "source.wav")
        sine_wav(source)
        if kind.startswith("mp3"):
            need("lame")
            run("lame", "--silent", "-b", "128", source, path)
            if kind == "mp3-ape":
                tags = apev2.APEv2()
                tags["Artist"] = "APE Artist"
                tags["Title"] = "APE Title"
                tags["Album"] = "Old Album"
                tags["Genre"] = "Jazz"
                tags["Year"] = "1999"
                tags["Track"] = "4"
                tags["Comment"] = "APE comment"
                tags["MUSICBRAINZ_TRACKID"] = "0a1b2c3d-0000-4000-8000-000000000003"
                tags.save(path)
                return
            if kind == "mp3-v22":  # as old iTunes wrote, with a day and a volume frame 2.4 has no place for
                frame = lambda name, data: name + struct.pack(">I", len(data))[1:] + data
                body = (frame(b"TT2", b"\0Song Title") + frame(b"TAL", b"\0Old Album") + frame(b"TYE", b"\02001") +
                        frame(b"TDA", b"\00302") + frame(b"RVA", b"\x03\x10\0\x40\0\x40") + b"\0" * 64)
                with open(path, "rb") as f:
                    audio = f.read()
                with open(path, "wb") as f:
                    f.write(b"ID3\x02\0\0" + syncsafe(len(body)) + body + audio)
                return
            tags = id3.ID3()
            v24 = kind.startswith("mp3-v24")
            id3_frames(tags, folder, multi=v24)
            if kind == "mp3-v23-extended":
                tags.add(id3.RVAD(adjustments=[-128, 256]))
                tags.add(id3.TRDA(encoding=1, text=["3rd March"]))
                tags.add(id3.TSIZ(encoding=1, text=["12345"]))
                tags.add(id3.TXXX(encoding=1, desc="Flagged", text=["kept"]))
            elif kind == "mp3-v24-footer":
                tags.delall("APIC")
            elif kind == "mp3-v24-grouped":
                tags.add(id3.PRIV(owner="grouped", data=b"\x01\x02"))
            elif kind == "mp3-v24-latin1":  # said to be UTF-8, written in Latin-1 by an old tagger
                tags.add(id3.TPE2(encoding=3, text=["Latin Placeholder"]))
            tags.save(path, v2_version=4 if v24 else 3, v1=2, padding=(lambda info: 0) if kind == "mp3-v24-footer" else None)
            odd_layout(kind, path)
        elif kind in ("wav", "aiff"):
            need("ffmpeg")
            run("ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source, path)
            f = mutagen.File(path)
            f.add_tags()
            id3_frames(f.tags, folder, multi=False)
            f.save(v2_version=3)
        elif kind == "flac-latin1":  # an artist an old tagger wrote in Latin-1, not UTF-8
            need("flac")
            run("flac", "--silent", "-f", "-o", path, source)
            f = flac.FLAC(path)
            f["ALBUM"] = ["Old Album"]
            f["ARTIST"] = ["Bjork Latin"]
            f.save()
            with open(path, "rb") as f:
                data = f.read()
            with open(path, "wb") as f:
                f.write(data.replace(b"Bjork Latin", b"Bj\xf6rk Latin"))
        elif kind in ("flac", "flac-two-comments"):
            need("flac")
            run("flac", "--silent", "-f", "-o", path, source)
            f = flac.FLAC(path)
            vorbis_fields(f)
            if kind == "flac-two-comments":  # as some taggers leave them
                second = flac.VCFLACDict()
                second["COMPOSER"] = ["Only In The Second Block"]
                f.metadata_blocks.append(second)
            f.add_picture(flac_picture(folder, "front.jpg", 300, "red", 3, ""))
            f.add_picture(flac_picture(folder, "back.png", 120, "blue", 4, "Back"))
            f.add_picture(flac_picture(folder, "band.jpg", 200, "green", 8, "Band"))
            f.save()
        elif kind in ("ogg", "opus"):
            if kind == "ogg":
                need("oggenc")
                run("oggenc", "--quiet", "-o", path, source)
                f = oggvorbis.OggVorbis(path)
            else:
                need("opusenc")
                run("opusenc", "--quiet", source, path)
                f = oggopus.OggOpus(path)
            vorbis_fields(f)
            f["METADATA_BLOCK_PICTURE"] = [
                base64.b64encode(flac_picture(folder, "front.jpg", 300, "red", 3, "").write()).decode("ascii"),
                base64.b64encode(flac_picture(folder, "back.png", 120, "blue", 4, "Back").write()).decode("ascii")]
            f.save()
        elif kind == "m4a-latin1":  # an artist written in Latin-1 where UTF-8 is declared
            need("ffmpeg")
            run("ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source, "-c:a", "aac", "-metadata",
                "album=Old Album", "-metadata", "artist=Latin Placeholder", path)
            with open(path, "rb") as f:
                data = f.read()
            with open(path, "wb") as f:
                f.write(data.replace(b"Latin Placeholder", b"L\xe4tin Placeholder"))
        elif kind == "m4a-fragmented":  # the audio in movie fragments, tagged by ffmpeg alone
            need("ffmpeg")
            run("ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source, "-c:a", "aac", "-metadata",
                "title=Song Title", "-metadata", "album=Old Album", "-movflags", "frag_keyframe+empty_moov",
                "-frag_duration", "100000", path)
        elif kind == "m4a":
            need("ffmpeg", "AtomicParsley")
            plain = os.path.join(folder, "plain.m4a")
            run("ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source, "-c:a", "aac", plain)
            front = os.path.join(folder, "front.jpg")
            picture(folder, "front.jpg", 300, "red")
            run("AtomicParsley", plain, "--artist", "First Artist", "--title", "Song Title", "--album", "Old Album",
                "--genre", "Folk", "--year", "2001", "--tracknum", "3/12", "--comment", "An MP4 comment",
                "--lyrics", LYRICS["eng"], "--artwork", front, "--output", path)
            f = mp4.MP4(path)
            f["----:com.apple.iTunes:MusicBrainz Track Id"] = [mp4.MP4FreeForm(b"0a1b2c3d-0000-4000-8000-000000000002")]
            f["----:org.hydrogenaudio.replaygain:replaygain_track_gain"] = [mp4.MP4FreeForm(b"-6.50 dB")]
            f["rate"] = ["80"]
            f.save()
        elif kind == "wma-plain":  # no content description object at all
            need("ffmpeg")
            run("ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source, "-c:a", "wmav2", path)
        elif kind == "wma":
            need("ffmpeg")
            run("ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source, "-c:a", "wmav2", path)
            f = asf.ASF(path)
            f["Title"] = ["Song Title"]
            f["Author"] = ["First Artist"]
            f["WM/AlbumTitle"] = ["Old Album"]
            f["WM/Genre"] = ["Electronic", "Ambient"]
            f["WM/Year"] = ["2001"]
            f["WM/TrackNumber"] = ["3"]
            f["MusicBrainz/Track Id"] = ["0a1b2c3d-0000-4000-8000-000000000002"]
            f["WM/SharedUserRating"] = [asf.ASFDWordAttribute(75)]
            f.save()
        else:
            print(f"unknown kind {kind}", file=sys.stderr)
            sys.exit(2)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def lengths(folder):
    """Files of 3 s (0.5 s of silence, then a noisy tone: a VBR encoder's first
    frames are far smaller than the rest) and their lengths as mutagen reads
    them. The MP3 without a Xing frame has no length of its own to compare
    with (mutagen estimates it from the first frame): it is given the length
    of the same encoding with the frame."""
    need("ffmpeg", "lame", "flac", "oggenc", "opusenc")
    source = os.path.join(folder, "source.wav")
    run("ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-f", "lavfi", "-i",
        "aevalsrc=if(lt(t\\,0.5)\\,0\\,0.3*sin(2*PI*440*t)+0.2*(random(0)-0.5)):d=3:s=44100:c=stereo", source)
    made = {
        "cbr-tags.mp3": ["lame", "--silent", "-b", "128", source],
        "vbr.mp3": ["lame", "--silent", "-V", "2", source],
        "vbr-no-xing.mp3": ["lame", "--silent", "-V", "2", "-t", source],
        "mpeg2.mp3": ["lame", "--silent", "--resample", "22.05", "-b", "48", source],
        "song.flac": ["flac", "--silent", "-f", source, "-o"],
        "song.ogg": ["oggenc", "--quiet", source, "-o"],
        "song.opus": ["opusenc", "--quiet", source],
        "aac.m4a": ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source, "-c:a", "aac"],
        "alac.m4a": ["ffmpeg", "-nostdin", "-loglevel", "error", "-y", "-i", source, "-c:a", "alac"],
    }
    for name, command in made.items():
        run(*command, os.path.join(folder, name))
    # An ID3v2 tag with a cover before the audio, an APE tag and an ID3v1 tag after it.
    path = os.path.join(folder, "cbr-tags.mp3")
    ape = apev2.APEv2()
    ape["Comment"] = "x" * 20000
    ape.save(path)
    tags = id3.ID3()
    tags.add(id3.TIT2(encoding=3, text="Title"))
    tags.add(id3.APIC(encoding=3, mime="image/png", type=3, desc="", data=b"\x89PNG" + bytes(30000)))
    tags.save(path, v2_version=3, v1=2)
    out = {name: round(mutagen.File(os.path.join(folder, name)).info.length * 1000) for name in made}
    out["vbr-no-xing.mp3"] = out["vbr.mp3"]
    for name in sorted(out):
        print(name, out[name])


def plain(value):
    """A JSON-friendly form of a mutagen value: bytes by checksum."""
    if isinstance(value, (bytes, bytearray)):
        return "bytes:%d:%s" % (len(value), hashlib.md5(value).hexdigest())
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, (int, float, str, bool)) or value is None:
        return value
    if isinstance(value, flac.Picture):
        return {"type": value.type, "mime": value.mime, "desc": value.desc, "width": value.width,
                "height": value.height, "depth": value.depth, "colors": value.colors, "data": plain(value.data)}
    if isinstance(value, mp4.MP4Cover):
        return {"format": value.imageformat, "data": plain(bytes(value))}
    if isinstance(value, mp4.MP4FreeForm):
        return {"freeform": plain(bytes(value)), "format": value.dataformat}
    if isinstance(value, asf.ASFBaseAttribute):
        return {"asf": type(value).__name__, "value": plain(value.value)}
    return str(value)


def id3_dump(tags, out, prefix="ID3:"):
    for key, frame in tags.items():
        names = [spec.name for spec in list(frame._framespec) + list(getattr(frame, "_optionalspec", []))]
        fields = {name: plain(getattr(frame, name, None)) for name in names if name != "encoding"}
        out[prefix + key] = fields


def id3v1(path):
    with open(path, "rb") as f:
        f.seek(0, os.SEEK_END)
        if f.tell() < 128:
            return None
        f.seek(-128, os.SEEK_END)
        block = f.read(128)
    if not block.startswith(b"TAG"):
        return None
    text = lambda b: b.split(b"\0")[0].decode("latin-1").rstrip()
    return {"title": text(block[3:33]), "artist": text(block[33:63]), "album": text(block[63:93]),
            "year": text(block[93:97]), "comment": text(block[97:125]),
            "track": block[126] if block[125] == 0 else None, "genre": block[127]}


def audio_checksum(path):
    if shutil.which("ffmpeg") is None:
        return "ffmpeg missing"
    done = subprocess.run(["ffmpeg", "-nostdin", "-loglevel", "error", "-i", path, "-map", "0:a:0", "-c", "copy",
                           "-f", "md5", "-"], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else "ffmpeg failed: " + done.stderr.strip()


def dump(path):
    out = {"audio": audio_checksum(path)}
    f = mutagen.File(path)
    if f is None:
        out["unreadable"] = True
    elif f.tags is None:
        pass
    elif isinstance(f.tags, id3.ID3):
        id3_dump(f.tags, out)
        if path.lower().endswith(".mp3"):  # the ID3v2.3 frames a 2.4 reader drops
            raw = id3.ID3(path, translate=False)
            id3_dump({k: v for k, v in raw.items() if k[:4] in ("RVAD", "TRDA", "TSIZ")}, out)
    elif isinstance(f, flac.FLAC):
        for key, values in (f.tags.as_dict() if f.tags else {}).items():
            out["VC:" + key.upper()] = values
        out["PICTURES"] = [plain(p) for p in f.pictures]
    elif isinstance(f, (oggvorbis.OggVorbis, oggopus.OggOpus)):
        for key, values in (f.tags.as_dict() if f.tags else {}).items():
            if key.upper() == "METADATA_BLOCK_PICTURE":
                out["PICTURES"] = [plain(flac.Picture(base64.b64decode(v))) for v in values]
            else:
                out["VC:" + key.upper()] = values
    elif isinstance(f, mp4.MP4):
        for key, values in (f.tags or {}).items():
            out["MP4:" + key] = plain(values)
    elif isinstance(f, asf.ASF):
        for key, values in (f.tags or {}).items():
            out["ASF:" + key] = plain(values)
    else:
        out["other"] = str(f.tags)
    if path.lower().endswith(".mp3"):
        try:
            for key, value in apev2.APEv2(path).items():
                out["APE:" + key.upper()] = str(value)
        except apev2.APENoHeaderError:
            pass
        v1 = id3v1(path)
        if v1:
            for key, value in v1.items():
                out["ID3v1:" + key] = value
    return out


def text_of(value):
    """One field's values as plain text, joined by "|": number pairs as "n/N"."""
    if isinstance(value, (list, tuple)) and value and isinstance(value[0], tuple):
        return "|".join("%d/%d" % pair for pair in value)
    if isinstance(value, (list, tuple)):
        return "|".join(text_of(v) for v in value)
    if isinstance(value, mp4.MP4FreeForm):
        return bytes(value).decode("utf-8")
    if isinstance(value, asf.ASFBaseAttribute):
        return str(value.value)
    if isinstance(value, (bytes, bytearray)):
        return value.decode("utf-8")
    return str(value)


def values(path):
    """The text fields as "KEY=value" lines, as an independent reader sees them."""
    f = mutagen.File(path)
    lines = ["LENGTH=%d" % round(f.info.length * 1000)]
    for key, value in (f.tags.items() if f.tags is not None else []):
        if isinstance(f.tags, id3.ID3):
            if key.startswith("UFID:"):
                value = value.data
            elif hasattr(value, "text"):
                value = [str(t) for t in value.text] if isinstance(value.text, list) else [str(value.text)]
            else:
                continue
        elif key.upper() == "METADATA_BLOCK_PICTURE" or key == "covr":
            continue
        lines.append("%s=%s" % (key, text_of(value)))
    return sorted(lines)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 3 and sys.argv[1] == "dump":
        json.dump(dump(sys.argv[2]), sys.stdout, indent=1, sort_keys=True, ensure_ascii=False)
    elif len(sys.argv) == 3 and sys.argv[1] == "lengths":
        lengths(sys.argv[2])
    elif len(sys.argv) == 3 and sys.argv[1] == "values":
        print("\n".join(values(sys.argv[2])))
    elif len(sys.argv) == 4 and sys.argv[1] == "diff":
        with open(sys.argv[2]) as a, open(sys.argv[3]) as b:
            before, after = json.load(a), json.load(b)
        for key in sorted(set(before) | set(after)):
            if before.get(key) != after.get(key):
                print(key)
    else:
        print(__doc__, file=sys.stderr)
        sys.exit(2)


if __name__ == "__main__":
    main()
