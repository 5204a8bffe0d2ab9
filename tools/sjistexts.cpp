// Build-time tool: turns a *.texts file (UTF-8, readable in review) into a
// header of Shift_JIS (CP932) byte literals. Only the build uses iconv; the
// program that includes the header carries plain bytes.
//
// Input format: an entry starts with a name at the beginning of a line,
// followed by one or more double-quoted literals, which may continue on the
// following indented lines and are joined. Escapes: \\ \" \r \n \t \xHH.
// Lines starting with '#' and blank lines are ignored.
//
// `sjistexts --files OUTPUT.h NAMESPACE FILE...` makes one entry of each
// whole file (a page template), named by the file's name up to its first
// "." with "-" dropped and the next letter raised ("form-en.html": FormEn).
// `sjistexts --cp932-table OUTPUT.h` writes the table the program converts
// UTF-8 to CP932 with: every character CP932 encodes, by code point, and
// an index of it by bytes for the way back.
#include <iconv.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Entry {
  std::string name;
  std::string utf8;
  std::string sjis;
};

[[noreturn]] void Fail(const std::string& what) {
  std::cerr << "sjistexts: " << what << "\n";
  std::exit(1);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads the literals of one entry starting at text[pos]; returns the bytes.
std::string ReadLiterals(const std::string& text, std::size_t& pos, const std::string& name) {
  std::string out;
  bool any = false;
  while (true) {
    while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r')) ++pos;
    if (pos >= text.size() || text[pos] != '"') break;
    any = true;
    ++pos;
    while (true) {
      if (pos >= text.size()) Fail("unterminated literal in " + name);
      char c = text[pos++];
      if (c == '"') break;
      if (c == '\n') Fail("line break inside literal in " + name);
      if (c != '\\') {
        out += c;
        continue;
      }
      if (pos >= text.size()) Fail("dangling escape in " + name);
      char e = text[pos++];
      switch (e) {
        case '\\': out += '\\'; break;
        case '"': out += '"'; break;
        case 'r': out += '\r'; break;
        case 'n': out += '\n'; break;
        case 't': out += '\t'; break;
        case 'x': {
          if (pos + 1 >= text.size()) Fail("short \\x escape in " + name);
          int hi = HexValue(text[pos]), lo = HexValue(text[pos + 1]);
          if (hi < 0 || lo < 0) Fail("bad \\x escape in " + name);
          out += static_cast<char>(hi * 16 + lo);
          pos += 2;
          break;
        }
        default: Fail(std::string("unknown escape \\") + e + " in " + name);
      }
    }
  }
  if (!any) Fail("entry without literal: " + name);
  return out;
}

std::string ToCp932(const std::string& utf8, const std::string& name) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) Fail("iconv cannot convert UTF-8 to CP932");
  std::string out(utf8.size() * 2 + 16, '\0');
  char* in = const_cast<char*>(utf8.data());
  std::size_t in_left = utf8.size();
  char* dst = out.data();
  std::size_t out_left = out.size();
  if (iconv(cd, &in, &in_left, &dst, &out_left) == static_cast<std::size_t>(-1)) {
    iconv_close(cd);
    Fail("text " + name + " has a character that CP932 lacks");
  }
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

// Octal escapes always end after three digits, so a following digit or
// letter can never be swallowed the way a \x escape would swallow it.
std::string CppLiteral(const std::string& bytes) {
  std::string out = "\"";
  for (const char byte : bytes) {
    const auto c = static_cast<unsigned char>(byte);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '?') {
      out += static_cast<char>(c);
    } else {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\%03o", c);
      out += buf;
    }
  }
  out += '"';
  return out;
}

std::string ReadAll(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) Fail(std::string("cannot read ") + path);
  std::stringstream buf;
  buf << in.rdbuf();
  return buf.str();
}

std::string EntryName(std::string path) {
  path = path.substr(path.find_last_of('/') + 1);
  path = path.substr(0, path.find('.'));
  std::string name;
  bool raise = true;
  for (const char c : path) {
    if (c == '-') {
      raise = true;
      continue;
    }
    name += raise ? static_cast<char>(std::toupper(static_cast<unsigned char>(c))) : c;
    raise = false;
  }
  return name;
}

std::string Convert(const char* to, const char* from, const std::string& in_bytes, bool& ok) {
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) Fail(std::string("iconv cannot convert ") + from + " to " + to);
  std::string out(in_bytes.size() * 4 + 8, '\0');
  char* in = const_cast<char*>(in_bytes.data());
  std::size_t in_left = in_bytes.size();
  char* dst = out.data();
  std::size_t out_left = out.size();
  ok = iconv(cd, &in, &in_left, &dst, &out_left) != static_cast<std::size_t>(-1);
  iconv_close(cd);
  out.resize(out.size() - out_left);
  return out;
}

// Every code point of the Basic Multilingual Plane (CP932 has none beyond)
// that iconv's CP932 turns into bytes beyond ASCII: its round trips and its
// one-way mappings (U+00A2 to the full-width cent sign's bytes) alike.
int WriteCp932Table(const char* output) {
  std::vector<std::pair<long, unsigned>> table;
  for (long cp = 0x80; cp < 0x10000; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    // Appended byte by byte: GCC 12 at -O2 and above warns (maybe-uninitialized)
    // on a string assigned from a braced list here.
    std::string utf8;
    if (cp < 0x800) {
      utf8 += static_cast<char>(0xC0 | cp >> 6);
    } else {
      utf8 += static_cast<char>(0xE0 | cp >> 12);
      utf8 += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
    }
    utf8 += static_cast<char>(0x80 | (cp & 0x3F));
    bool ok = false;
    const std::string bytes = Convert("CP932", "UTF-8", utf8, ok);
    if (!ok || bytes.empty() || bytes.size() > 2 || static_cast<unsigned char>(bytes[0]) < 0x80) continue;
    unsigned code = 0;
    for (const char c : bytes) code = code << 8 | static_cast<unsigned char>(c);
    table.emplace_back(cp, code);
  }
  std::sort(table.begin(), table.end());
  // The way back: for every byte sequence, the entry of the code point
  // iconv's CP932 decodes it to, by bytes. Several code points share bytes
  // (the one-way mappings above), and bytes the encoder never writes (NEC's
  // copies of IBM's characters in rows 89-92) decode to a code point whose
  // entry holds the other bytes: the entry stands for the code point alone.
  std::vector<std::pair<unsigned, std::size_t>> back;
  for (unsigned code = 0x80; code < 0x10000; ++code) {
    if (code < 0x100 ? code < 0xA1 || code > 0xDF : (code >> 8) < 0x81 || (code & 0xFF) < 0x40) continue;
    std::string bytes;
    if (code > 0xFF) bytes += static_cast<char>(code >> 8);
    bytes += static_cast<char>(code & 0xFF);
    bool ok = false;
    const std::string utf8 = Convert("UTF-32BE", "CP932", bytes, ok);
    if (!ok || utf8.size() != 4) continue;
    long cp = 0;
    for (const char c : utf8) cp = cp << 8 | static_cast<unsigned char>(c);
    const auto at = std::lower_bound(table.begin(), table.end(), std::pair<long, unsigned>(cp, 0));
    if (at == table.end() || at->first != cp) continue;
    back.emplace_back(code, static_cast<std::size_t>(at - table.begin()));
  }
  std::ofstream out(output, std::ios::binary);
  out << "// Generated by sjistexts --cp932-table; do not edit.\n#pragma once\n#include <cstdint>\n\n"
      << "namespace platform::cp932 {\n\nstruct Mapping {\n  std::uint32_t code_point;\n  std::uint16_t bytes;\n};\n"
      << "inline constexpr Mapping kTable[] = {\n";
  for (const auto& [cp, code] : table) out << "    {" << cp << "u, " << code << "u},\n";
  out << "};\n\n// Indexes into kTable, sorted by the bytes they decode.\nstruct Decoding {\n  std::uint16_t bytes;\n"
      << "  std::uint16_t entry;\n};\ninline constexpr Decoding kByBytes[] = {\n";
  for (const auto& [code, entry] : back) out << "    {" << code << "u, " << entry << "u},\n";
  out << "};\n\n}  // namespace platform::cp932\n";
  if (!out) Fail(std::string("write failed: ") + output);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--cp932-table") return WriteCp932Table(argv[2]);
  const bool files = argc >= 4 && std::string(argv[1]) == "--files";
  if (argc != 4 && !files) Fail("usage: sjistexts INPUT.texts OUTPUT.h NAMESPACE");
  std::vector<Entry> entries;
  if (files) {
    for (int i = 4; i < argc; ++i) {
      Entry e;
      e.name = EntryName(argv[i]);
      e.utf8 = ReadAll(argv[i]);
      e.sjis = ToCp932(e.utf8, e.name);
      entries.push_back(std::move(e));
    }
  }
  const std::string text = files ? std::string() : ReadAll(argv[1]);
  std::size_t pos = 0;
  while (pos < text.size()) {
    if (text[pos] == '\n' || text[pos] == '\r' || text[pos] == ' ' || text[pos] == '\t') {
      ++pos;
      continue;
    }
    if (text[pos] == '#') {
      while (pos < text.size() && text[pos] != '\n') ++pos;
      continue;
    }
    std::size_t start = pos;
    while (pos < text.size() && (std::isalnum(static_cast<unsigned char>(text[pos])) || text[pos] == '_')) ++pos;
    if (pos == start) Fail("expected a name at byte " + std::to_string(pos));
    Entry e;
    e.name = text.substr(start, pos - start);
    e.utf8 = ReadLiterals(text, pos, e.name);
    e.sjis = ToCp932(e.utf8, e.name);
    entries.push_back(std::move(e));
  }

  std::ofstream out(argv[2], std::ios::binary);
  if (!out) Fail(std::string("cannot write ") + argv[2]);
  const std::string ns = argv[3];
  out << "// Generated by sjistexts from " << argv[1] << "; do not edit.\n"
      << "#pragma once\n#include <string_view>\n\nnamespace " << ns << "::texts {\n\n";
  for (const Entry& e : entries) {
    out << "inline constexpr std::string_view " << e.name << "{" << CppLiteral(e.sjis) << ", "
        << e.sjis.size() << "};\n";
  }
  out << "\n// Every text with its UTF-8 spelling, so tests can check the conversion.\n"
      << "struct TextEntry {\n  std::string_view name;\n  std::string_view sjis;\n  std::string_view utf8;\n};\n"
      << "inline constexpr TextEntry kAllTexts[] = {\n";
  for (const Entry& e : entries) {
    out << "    {\"" << e.name << "\", " << e.name << ", {" << CppLiteral(e.utf8) << ", " << e.utf8.size()
        << "}},\n";
  }
  out << "};\n\n}  // namespace " << ns << "::texts\n";
  if (!out) Fail(std::string("write failed: ") + argv[2]);
  return 0;
}
