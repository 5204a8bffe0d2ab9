// The result pages and the public profile page. Every fixed piece comes from
// MemberTexts; stored values go in as they are, already HTML-escaped.
#include "pages/Pages.h"

#include <string>

#include "PageTexts.h"
#include "platform/Sjis.h"
#include "records/Members.h"
#include "text/NameValueList.h"

namespace pages {
namespace {

char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool StartsWithNoCase(std::string_view text, std::size_t pos, std::string_view word) {
  if (text.size() - pos < word.size()) return false;
  for (std::size_t i = 0; i < word.size(); ++i) {
    if (LowerAscii(text[pos + i]) != word[i]) return false;
  }
  return true;
}

void AppendRow(std::string& page, std::string_view label, std::string_view value) {
  page += texts::ProfileRowStart;
  page += "\r\n";
  page += label;
  page += "\r\n";
  page += texts::ProfileCellChange;
  page += "\r\n";
  page += value;
  page += texts::ProfileRowEnd;
  page += "\r\n";
}

void AppendLinkRow(std::string& page, std::string_view title, std::string_view address) {
  page += texts::ProfileRowStart;
  page += "\r\n";
  page += title;
  page += "\r\n";
  page += texts::ProfileCellChange;
  page += "\r\n";
  page += texts::ProfileLinkStart;
  // A script address is shown but never made a target: anyone can open a
  // profile page, so a stored "javascript:" link would run in the visitor's
  // session.
  if (!IsScriptAddress(address)) page += address;
  page += texts::ProfileLinkMiddle;
  page += address;
  page += texts::ProfileLinkEnd;
  page += texts::ProfileRowEnd;
  page += "\r\n";
}

}  // namespace

// Browsers drop blanks
// and control bytes around and inside the scheme, and the stored form of a
// posted blank is "&nbsp;", so "&nbsp;java&nbsp;script:" and "\tjavascript:"
// are read like "javascript:". "&tab;" and "&newline;" decode to bytes that
// browsers drop as well.
bool IsScriptAddress(std::string_view address) {
  std::string scheme;
  for (std::size_t pos = 0; pos < address.size();) {
    const unsigned char c = static_cast<unsigned char>(address[pos]);
    if (c <= 0x20 || c == 0x7F) {
      ++pos;
      continue;
    }
    if (c == '&') {
      bool skipped = false;
      for (std::string_view entity : {std::string_view("&nbsp;"), std::string_view("&tab;"),
                                      std::string_view("&newline;")}) {
        if (StartsWithNoCase(address, pos, entity)) {
          pos += entity.size();
          skipped = true;
          break;
        }
      }
      if (skipped) continue;
      return false;
    }
    if (c == ':') return scheme == "javascript" || scheme == "vbscript" || scheme == "data";
    const char lower = LowerAscii(static_cast<char>(c));
    if (lower < 'a' || lower > 'z') return false;  // not a scheme we refuse
    scheme += lower;
    if (scheme.size() > 10) return false;  // longer than "javascript"
    ++pos;
  }
  return false;
}

std::string_view WithoutCutEnd(std::string_view stored) {
  std::size_t whole = 0;  // where the last whole character or piece of markup ends
  char close = 0;         // what ends the markup being read: '>', ';', or 0 outside
  for (std::size_t pos = 0; pos < stored.size();) {
    const std::size_t length = platform::CharLength(stored, pos);
    if (length == 1 && platform::IsLeadByte(stored[pos])) break;
    const char c = stored[pos];
    pos += length;
    const bool in_name = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '#';
    if (close == ';' && c != ';' && !in_name) {
      close = 0;  // a bare "&", not a reference: text like any other
      whole = pos - length;
    }
    if (close != 0) {
      if (c == close) {
        close = 0;
        whole = pos;
      }
    } else if (c == '<' || c == '&') {
      close = c == '<' ? '>' : ';';
    } else {
      whole = pos;
    }
  }
  return stored.substr(0, whole);
}

std::string ErrorPage(std::string_view message) {
  std::string page(texts::ErrorPageStart);
  page += message;
  page += texts::ErrorPageEnd;
  return page;
}

std::string FileAcceptedPage() { return std::string(texts::FileAcceptedPage); }

std::string RegistrationAcceptedPage() { return std::string(texts::RegistrationAcceptedPage); }

std::string ProfilePage(std::string_view members_db, std::string_view id) {
  // Without a members directory there are no members: the root directory is
  // never searched for a record.
  if (members_db.empty() || !records::IsUsableName(id)) return {};
  text::NameValueList record;
  if (!records::LoadRecordIfPresent(records::MemberRecordPath(members_db, id), record)) return {};

  std::string page(texts::ProfileHead);
  page += texts::ProfileTableStart;
  page += "\r\n";
  AppendRow(page, texts::ProfileLabelId, id);
  AppendRow(page, texts::ProfileLabelName, record.Value("realname"));
  AppendRow(page, texts::ProfileLabelCountry, record.Value("country"));
  AppendRow(page, texts::ProfileLabelProfile, record.Value("comment"));
  AppendLinkRow(page, record.Value("urlname1"), record.Value("url1"));
  AppendLinkRow(page, record.Value("urlname2"), record.Value("url2"));
  AppendLinkRow(page, record.Value("urlname3"), record.Value("url3"));
  page += texts::ProfileTail;
  page += "\r\n";
  return page;
}

}  // namespace pages
