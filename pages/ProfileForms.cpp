// The default set's profile forms (Japanese and English), pre-filled from
// the member record once the password matches.
#include <string>
#include <string_view>

#include "PageTexts.h"
#include "credentials/Passwords.h"
#include "pages/Pages.h"
#include "records/Members.h"
#include "text/NameValueList.h"

namespace pages {
namespace {

struct FormRow {
  std::string_view key;
  std::string_view type;
  std::string_view size;
  std::string_view label;
  std::string_view label_e;
  std::string_view hint;    // empty: a row without a hint
  std::string_view hint_e;
};

// The rows in the order the form shows them. The note row of the Japanese
// form stands after `mail` (kNoteAfter).
constexpr FormRow kFormRows[] = {
    {"id", "text", "20", texts::LabelId, texts::LabelIdE, {}, {}},
    {"pw", "password", "15", texts::LabelPw, texts::LabelPwE, {}, {}},
    {"realname", "text", "20", texts::LabelRealname, texts::LabelRealnameE, {}, {}},
    {"country", "text", "20", texts::LabelCountry, texts::LabelCountryE, {}, {}},
    {"comment", "text", "100", texts::LabelComment, texts::LabelCommentE, {}, {}},
    {"mail", "text", "50", texts::LabelMail, texts::LabelMailE, {}, {}},
    {"urlname1", "text", "50", texts::LabelUrlname1, texts::LabelUrlname1E, texts::HintUrlname1,
     texts::HintUrlname1E},
    {"url1", "text", "50", texts::LabelUrl1, texts::LabelUrl1E, texts::HintUrl1, texts::HintUrl1E},
    {"urlname2", "text", "50", texts::LabelUrlname2, texts::LabelUrlname2E, {}, {}},
    {"url2", "text", "50", texts::LabelUrl2, texts::LabelUrl2E, {}, {}},
    {"urlname3", "text", "50", texts::LabelUrlname3, texts::LabelUrlname3E, {}, {}},
    {"url3", "text", "50", texts::LabelUrl3, texts::LabelUrl3E, {}, {}},
};
constexpr std::string_view kNoteAfter = "mail";

void AppendRow(std::string& page, const FormRow& row, std::string_view value, bool english) {
  page += texts::FormRowStart;
  page += english ? row.label_e : row.label;
  page += texts::FormRowLabelEnd;
  page += row.type;
  page += texts::FormRowName;
  page += row.key;
  page += texts::FormRowSize;
  page += row.size;
  page += texts::FormRowValue;
  page += value;
  const std::string_view hint = english ? row.hint_e : row.hint;
  if (hint.empty()) {
    page += texts::FormRowEnd;
  } else {
    page += texts::FormRowHint;
    page += hint;
    page += texts::FormRowHintEnd;
  }
  page += texts::FormRowGap;
}

std::string BuildFormPage(std::string_view session, std::string_view members_db, std::string_view id,
                          std::string_view password, credentials::PasswordStorage storage, bool english) {
  if (!records::IsUsableName(id)) return {};
  text::NameValueList record;
  if (!records::LoadRecordIfPresent(records::MemberRecordPath(members_db, id), record)) return {};
  if (!credentials::PasswordMatches(record.Value("pw"), password)) return {};
  records::UpgradeStoredPassword(members_db, id, record.Value("pw"), password, storage);

  std::string page;
  page.reserve(4096);
  page += texts::FormHead;
  page += english ? texts::FormHeadingE : texts::FormHeading;
  page += texts::FormStart;
  page += session;
  page += texts::FormAfterSession;
  for (const FormRow& row : kFormRows) {
    // The ID and password rows show the values as posted (a stored hash is
    // no password); every other row the record's value.
    const std::string_view value = row.key == "id" ? id : row.key == "pw" ? password : record.Value(row.key);
    AppendRow(page, row, value, english);
    if (!english && row.key == kNoteAfter) {
      page += texts::FormNoteRow;
      page += texts::FormRowGap;
    }
  }
  page += english ? texts::FormTailE : texts::FormTail;
  return page;
}

}  // namespace

std::string ProfileFormPage(std::string_view session, std::string_view members_db, std::string_view id,
                            std::string_view password, credentials::PasswordStorage storage) {
  return BuildFormPage(session, members_db, id, password, storage, false);
}

std::string ProfileFormPageE(std::string_view session, std::string_view members_db, std::string_view id,
                             std::string_view password, credentials::PasswordStorage storage) {
  return BuildFormPage(session, members_db, id, password, storage, true);
}

}  // namespace pages
