#include "sniff.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <vector>

#include "transcoder.h"
#include "utf8.h"

namespace {

using namespace std::string_view_literals;
using Format = Decompressor::Format;

// A byte order mark, the encoding it makes the engine read (empty: UTF-8 as
// it is) and its name in messages. UTF-32 LE starts as UTF-16 LE does, so
// the longer marks come first.
struct Mark {
  std::string_view bytes;
  const char* encoding;
  const char* shown;
};
constexpr std::string_view UTF8_MARK = "\xEF\xBB\xBF"sv;
constexpr Mark MARKS[] = {
    {"\xFF\xFE\0\0"sv, "UTF-32", "UTF-32 LE"},
    {"\0\0\xFE\xFF"sv, "UTF-32", "UTF-32 BE"},
    {UTF8_MARK, "", "UTF-8"},
    {"\xFF\xFE"sv, "UTF-16", "UTF-16 LE"},
    {"\xFE\xFF"sv, "UTF-16", "UTF-16 BE"},
};
constexpr const char* FALLBACK_ENCODING = "cp1252";
// Output bytes per transcoder call; any size works, this one keeps calls few.
constexpr size_t TRANSCODE_STEP = size_t{64} << 10;
// Room for what a mark's bytes decode to: at most a character or two.
constexpr size_t MARK_OUTPUT = 16;

const Mark* markOf(std::string_view text) {
  for (const Mark& mark : MARKS)
    if (text.substr(0, mark.bytes.size()) == mark.bytes) return &mark;
  return nullptr;
}

// The name as Python's repr() shows it, since the package's messages always
// quoted names that way.
std::string quoted(const std::string& name) {
  const bool doubled = name.find('\'') != std::string::npos && name.find('"') == std::string::npos;
  const char quote = doubled ? '"' : '\'';
  std::string out(1, quote);
  for (const char ch : name) {
    const auto byte = static_cast<unsigned char>(ch);
    if (ch == quote || ch == '\\') {
      out += '\\';
      out += ch;
    } else if (ch == '\n' || ch == '\r' || ch == '\t') {
      out += ch == '\n' ? "\\n" : ch == '\r' ? "\\r" : "\\t";
    } else if (byte < 0x20 || byte == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      out += escaped;
    } else {
      out += ch;
    }
  }
  return out + quote;
}

// The spelling of `given` the engine reads by (empty for UTF-8): the first
// the C library knows and that keeps ASCII as it is.
std::string resolved(const std::string& given, const std::vector<std::string>& spellings) {
  std::vector<std::string> names{given};
  names.insert(names.end(), spellings.begin(), spellings.end());
  bool refused = false;
  for (const std::string& name : names) {
    if (Transcoder::isUtf8(name)) return "";
    try {
      Transcoder check(name);
      return name;
    } catch (const Transcoder::NotAsciiCompatible&) {
      refused = true;
    } catch (const std::invalid_argument&) {
    }
  }
  if (refused)
    throw std::invalid_argument(
        "encoding " + quoted(given) +
        " is not ASCII-compatible (as EBCDIC and UTF-7 are not): its delimiters and line ends "
        "are other bytes. Convert the file to UTF-8 first, for example: iconv -f " +
        given + " -t UTF-8 FILE > FILE.utf8");
  throw std::invalid_argument("unknown encoding " + quoted(given) +
                              ": give a name the C library's iconv knows (iconv --list shows "
                              "them), or --encoding auto");
}

// Whether reading by `encoding` takes the mark as a mark: its bytes decode to
// nothing, or to U+FEFF alone, which the transcoder drops.
bool readsMark(const std::string& encoding, std::string_view mark) {
  Transcoder decoder(encoding.empty() ? "UTF-8" : encoding);
  char out[MARK_OUTPUT];
  size_t used = 0;
  try {
    return decoder.run(mark.data(), mark.size(), used, out, sizeof out, true) == 0 &&
           used == mark.size();
  } catch (const ByteFilter::Fault&) {
    return false;
  }
}

// At most `limit` bytes of the text `raw` compresses. `damaged`: the stream
// breaks off inside `raw`, and the text is what came before.
std::string decompressed(std::string_view raw, Format format, size_t limit, bool whole,
                         bool& damaged) {
  const std::unique_ptr<Decompressor> decoder = Decompressor::make(format);
  std::string text(limit, '\0');
  size_t filled = 0, at = 0;
  damaged = false;
  try {
    while (filled < limit) {
      size_t used = 0;
      const size_t got = decoder->run(raw.data() + at, raw.size() - at, used, text.data() + filled,
                                      limit - filled, whole);
      at += used;
      filled += got;
      if (got == 0 && used == 0) break;
    }
  } catch (const ByteFilter::Fault&) {
    damaged = true;
  }
  text.resize(filled);
  return text;
}

// `bytes` decoded to UTF-8 whole; a Fault's offset counts from their start.
std::string transcodedWhole(std::string_view bytes, const std::string& encoding, bool finish) {
  Transcoder decoder(encoding);
  std::vector<char> out(TRANSCODE_STEP);
  std::string text;
  size_t at = 0;
  for (;;) {
    size_t used = 0, got = 0;
    try {
      got = decoder.run(bytes.data() + at, bytes.size() - at, used, out.data(), out.size(), finish);
    } catch (const ByteFilter::Fault& fault) {
      throw ByteFilter::Fault(fault.what(), at + fault.at);
    }
    text.append(out.data(), got);
    at += used;
    if (got == 0 && used == 0) return text;
  }
}

// `bytes` decoded to UTF-8 up to the first byte that does not decode (the pass
// reports that byte); a character cut by their end is left out. `cut`: a byte
// did not decode.
std::string transcoded(std::string_view bytes, const std::string& encoding, bool finish,
                       bool& cut) {
  cut = false;
  try {
    return transcodedWhole(bytes, encoding, finish);
  } catch (const ByteFilter::Fault& fault) {
    cut = true;
    return transcodedWhole(bytes.substr(0, fault.at), encoding, false);
  }
}

// The encoding for `--encoding auto`: a byte order mark decides, else UTF-8
// when the first AUTO_SAMPLE_BYTES are UTF-8, else the fallback, with a note.
void chooseEncoding(std::string_view text, bool whole, Sniff& found) {
  if (const Mark* mark = markOf(text)) {
    found.encoding = mark->encoding;
    return;
  }
  const bool final = whole && text.size() <= AUTO_SAMPLE_BYTES;
  const size_t bad = firstNotUtf8(text.substr(0, AUTO_SAMPLE_BYTES), final);
  if (bad == std::string::npos) return;
  found.encoding = FALLBACK_ENCODING;
  found.warning = "encoding auto: byte " + std::to_string(bad) +
                  " is not UTF-8, so the file is read as " + FALLBACK_ENCODING +
                  "; give --encoding NAME if it is another";
}

// The encoding asked for, or none: a UTF-16 or UTF-32 mark names the one to
// read by when none is asked for, and must agree with the one asked for.
void checkedEncoding(std::string_view text, const SniffRequest& request, Sniff& found) {
  const Mark* mark = markOf(text);
  const bool wide = mark != nullptr && *mark->encoding != '\0';
  if (request.encoding.empty()) {
    if (wide) found.encoding = mark->encoding;
    return;
  }
  found.encoding = resolved(request.encoding, request.spellings);
  if (wide && !readsMark(found.encoding, mark->bytes))
    throw std::invalid_argument(request.name + ": starts with a " + mark->shown +
                                " byte order mark, but --encoding " + request.encoding +
                                " was given (encoding= in Python): leave it out, or give "
                                "--encoding " +
                                mark->encoding);
}

// The head as UTF-8, and for a head read as UTF-8 where it stops being that.
void decodeHead(std::string_view head, Sniff& found) {
  if (found.encoding.empty()) {
    const size_t bad = firstNotUtf8(head, found.complete);
    found.notUtf8At = bad == std::string::npos ? -1 : static_cast<int64_t>(bad);
    found.text = head.substr(head.substr(0, UTF8_MARK.size()) == UTF8_MARK ? UTF8_MARK.size() : 0);
    return;
  }
  bool cut = false;
  found.text = transcoded(head, found.encoding, found.complete, cut);
  found.complete = found.complete && !cut;
}

}  // namespace

Sniff sniff(std::string_view raw, bool whole, const SniffRequest& request) {
  Sniff found;
  if (request.decompress) {
    found.needsMore = raw.size() < Decompressor::MAGIC_BYTES && !whole;
    if (found.needsMore) return found;
    found.compression = Decompressor::detect(raw);
  }
  if (found.compression == Format::ZIP) return found;
  const bool automatic = request.encoding == AUTO_ENCODING;
  const size_t needed = std::max(request.wanted, automatic ? AUTO_SAMPLE_BYTES : 0);
  // One byte past what is needed tells whether more text follows.
  std::string storage;
  std::string_view text = raw.substr(0, needed + 1);
  bool damaged = false;
  if (found.compression != Format::PLAIN) {
    storage = decompressed(raw, found.compression, needed + 1, whole, damaged);
    text = storage;
  }
  found.needsMore = !whole && !damaged && text.size() < needed;
  if (found.needsMore) return found;
  if (automatic)
    chooseEncoding(text, whole, found);
  else
    checkedEncoding(text, request, found);
  found.complete = whole && text.size() <= request.wanted;
  decodeHead(text.substr(0, request.wanted), found);
  return found;
}
