#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into corpus/<target>/. The seeds are small, well-formed
examples of what each parser reads, plus a few hostile ones; the fuzzer mutates from there."""
import bz2
import gzip
import io
import json
import os
import shutil
import struct
import tarfile

HERE = os.path.dirname(os.path.abspath(__file__))
FIXTURES = os.path.join(HERE, "..", "fixtures")


def write(target, name, data):
    folder = os.path.join(HERE, "corpus", target)
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("utf-8"))


def compact(value):
    return json.dumps(value, ensure_ascii=False, separators=(",", ":")).encode("utf-8")


def damaged_list(objects, damage):
    """A list file as the app writes it (keys in order, compact), with the objects at the given indexes cut
    before their closing brace ("cut") or given an opening brace too many ("brace")."""
    parts = []
    for i, value in enumerate(objects):
        text = json.dumps(value, ensure_ascii=False, separators=(",", ":"), sort_keys=True)
        if damage.get(i) == "cut":
            text = text[:-1]
        elif damage.get(i) == "brace":
            text = "{" + text
        parts.append(text)
    return ("[" + ",".join(parts) + "]").encode("utf-8")


def seed_frames():
    transcript = compact({"result": {"text": " 你好，世界 ", "utterances": [{"definite": True}]}})

    def frame(type_flags, ser_comp, payload, sequence=True):
        head = bytes([0x11, type_flags, ser_comp, 0x00])
        seq = struct.pack(">i", 1) if sequence else b""
        return head + seq + struct.pack(">I", len(payload)) + payload

    write("seedasr_frame", "partial", frame(0x91, 0x11, gzip.compress(transcript)))
    write("seedasr_frame", "final", frame(0x93, 0x11, gzip.compress(transcript)))
    write("seedasr_frame", "plain-json", frame(0x90, 0x10, transcript, sequence=False))
    write("seedasr_frame", "error", bytes([0x11, 0xF0, 0x10, 0x00]) + struct.pack(">I", 45000001)
          + struct.pack(">I", 7) + b"bad key")
    write("seedasr_frame", "payload-only", transcript)
    write("seedasr_frame", "final-cut-gzip", frame(0x93, 0x11, gzip.compress(transcript, mtime=0)[:-6]))


def seed_chat_stream():
    chat = "".join("data: " + json.dumps({"choices": [{"delta": {"content": piece}}]}, ensure_ascii=False)
                   + "\n\n" for piece in ["<raw_", "speech>今天", "开会 ", "DeepSeek</raw_speech>"])
    chat += "data: [DONE]\n\n"
    anthropic = ("event: message_start\ndata: {\"type\":\"message_start\"}\n\n"
                 + "".join("event: content_block_delta\ndata: "
                           + json.dumps({"type": "content_block_delta", "delta": {"text": piece}},
                                        ensure_ascii=False) + "\n\n" for piece in ["你好", " world", "。"])
                 + "event: message_stop\ndata: {\"type\":\"message_stop\"}\n\n")
    write("chat_stream", "chat-completions", b"\x02\x00\x10" + chat.encode("utf-8"))
    write("chat_stream", "anthropic", b"\x03\x00\x21" + anthropic.encode("utf-8"))
    write("chat_stream", "crlf-unterminated", b"\x00\x00\x05" + chat.replace("\n", "\r\n").encode("utf-8")[:-4])


def seed_distilled_terms():
    write("distilled_terms", "answer", "DeepSeek | 迪普西克, deep seek | project\n张三 | zhang san | person\n"
          "毛利率 | | finance\n会议纪要\r\nx\n")


def seed_transcription_reply():
    def status(code):
        return struct.pack(">H", code - 100)

    write("transcription_reply", "ok-json", status(200) + compact({"text": "  今天的会议  "}))
    write("transcription_reply", "ok-plain", status(200) + "纯文本的转写".encode("utf-8"))
    write("transcription_reply", "error-json", status(401) + compact({"error": {"message": "Invalid API key"}}))
    write("transcription_reply", "error-plain", status(503) + b"<html>Service Unavailable</html>")
    write("transcription_reply", "ok-page-fragment", status(200) + b"<head><title>Portal login</title></head><body>")
    write("transcription_reply", "ok-plain-with-tag", status(200) + "把 <html> 标签删掉".encode("utf-8"))


def seed_files():
    with open(os.path.join(FIXTURES, "core", "config.json"), "rb") as f:
        write("config_file", "fixture", f.read())
    write("config_file", "empty-object", b"{}")
    write("config_file", "odd-values", compact({"selectedProvider": "nope", "providerModels": {"openai": 3},
                                                "enableAutoLearn": "yes", "speechLocale": None}))
    with open(os.path.join(FIXTURES, "core", "history.json"), "rb") as f:
        write("history_file", "fixture", f.read())
    write("history_file", "not-an-array", b"{\"id\":1}")
    records = [{"id": "%08X-9D2E-4C7B-8A61-3E2F1D0C9B8A" % i, "timestamp": 786240000.125 + i,
                "rawTranscript": "原话 [%d]" % i, "polishedText": "成稿，{%d}" % i, "durationSeconds": 3.7,
                "polishLatencyMs": 412, "targetAppName": "Kate", "mode": "口述成稿", "matchedTerms": ["词条"]}
               for i in range(6)]
    write("history_file", "damaged-close-together", damaged_list(records, {0: "cut", 1: "brace", 2: "cut"}))
    lexicon = [
        {"id": "0F5C3B1A-9D2E-4C7B-8A61-3E2F1D0C9B8A", "term": "DeepSeek", "aliases": ["迪普西克", "deep seek"],
         "phoneticKey": "dipuxike", "category": "项目/技术", "weight": 5, "hitCount": 2, "createdAt": 786240000},
        {"term": "张三", "aliases": ["zhang san", ""], "category": "人名/称呼"},
        {"term": "  ", "aliases": []},
        {"term": "毛利率", "weight": 1e300, "hitCount": -1, "createdAt": "yesterday"},
    ]
    write("lexicon_file", "entries", compact(lexicon))
    write("lexicon_file", "truncated", compact(lexicon)[:90])
    # Lone surrogate halves, which the JSON writer spells out as six-byte escapes.
    write("lexicon_file", "lone-surrogates",
          b'[{"term":"' + b"\\ud800" * 60 + b'x","aliases":["' + b"\\udc00" * 200 + b'"]},'
          b'{"term":"pair \\ud83d\\ude00"}]')
    # A file whose only term is longer than the store takes.
    write("lexicon_file", "only-long-term", compact([{"term": "长" * 65}]))
    # Entries as the store writes them, some damaged next to each other: a closing brace gone, an opening
    # brace too many. Every entry whose bytes are whole must be kept.
    entries = [{"id": "%08X-9D2E-4C7B-8A61-3E2F1D0C9B8A" % i, "term": "词条%d" % i, "aliases": ["别名{%d}" % i],
                "phoneticKey": "citiao%d" % i, "category": "纪要/备忘", "weight": 5, "hitCount": i,
                "createdAt": 786240000 + i} for i in range(6)]
    write("lexicon_file", "damaged-close-together", damaged_list(entries, {1: "cut", 2: "brace", 4: "cut"}))


def seed_wav():
    def wav(fmt_tag, channels, rate, bits, frames):
        block = channels * bits // 8
        data = bytes((i * 37) & 0xFF for i in range(frames * block))
        fmt = struct.pack("<HHIIHH", fmt_tag, channels, rate, rate * block, block, bits)
        body = b"WAVE" + b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data
        return b"RIFF" + struct.pack("<I", len(body)) + body

    write("wav_file", "pcm16-mono", wav(1, 1, 16000, 16, 64))
    write("wav_file", "float-stereo", wav(3, 2, 44100, 32, 16))
    write("wav_file", "pcm8-mono", wav(1, 1, 8000, 8, 32))


def seed_trigger_defaults():
    write("trigger_defaults", "shortcut", compact({"keyCode": 49, "carbonModifiers": 4096, "label": "⌃ + Space"}))
    write("trigger_defaults", "trigger-key", b"rightControl")
    write("trigger_defaults", "behavior", b"holdToTalk")


def seed_archives():
    folder = "sherpa-onnx-sense-voice-zh-en-ja-ko-yue-2025-09-09"

    def tar(members):
        out = io.BytesIO()
        with tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as archive:
            for info, data in members:
                archive.addfile(info, io.BytesIO(data) if data is not None else None)
        # Without the padding to a whole 10 KB record: the end marker of two zero blocks is enough.
        content = out.getvalue().rstrip(b"\0")
        return content + b"\0" * (-len(content) % 512 + 1024)

    def entry(name, data=None, kind=tarfile.REGTYPE, link=""):
        info = tarfile.TarInfo(name)
        info.type = kind
        info.linkname = link
        info.size = len(data) if data is not None else 0
        return info, data

    model = tar([entry(folder + "/", kind=tarfile.DIRTYPE), entry(folder + "/model.onnx", b"onnx" * 8),
                 entry(folder + "/tokens.txt", b"<blk> 0\n<sos/eos> 1\n")])
    write("model_archive", "model", model)
    write("model_archive", "model-bz2", bz2.compress(model))
    write("model_archive", "dot-dot", tar([entry("../outside.txt", b"x")]))
    write("model_archive", "symlink", tar([entry(folder, kind=tarfile.SYMTYPE, link="/tmp"),
                                           entry(folder + "/model.onnx", b"x")]))
    write("model_archive", "hardlink", tar([entry("a.txt", b"x"), entry("b.txt", kind=tarfile.LNKTYPE, link="a.txt")]))
    write("model_archive", "absolute", tar([entry("/etc/outside", b"x")]))


if __name__ == "__main__":
    shutil.rmtree(os.path.join(HERE, "corpus"), ignore_errors=True)
    seed_frames()
    seed_chat_stream()
    seed_distilled_terms()
    seed_transcription_reply()
    seed_files()
    seed_wav()
    seed_trigger_defaults()
    seed_archives()
