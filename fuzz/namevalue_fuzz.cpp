// Records: NameValueList text round trip, SetValue/Value, and the one-shot
// helpers FieldValue, RemoveField and RequiredFieldsFilled, which must agree
// with the list however they are implemented. Input: record text "\n%%\n"
// name "\n%%\n" value.
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "platform/Sjis.h"
#include "text/NameValueList.h"

namespace {

bool HasBlankMarker(std::string_view name) {
  std::string lowered(name);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lowered.find("blank-") != std::string::npos;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto parts = fuzz::SplitParts(fuzz::AsView(data, size), 3);
  const std::string_view record = parts[0];
  const std::string_view name = parts.size() > 1 ? parts[1] : std::string_view("pw");
  const std::string_view value = parts.size() > 2 ? parts[2] : std::string_view("secret");

  text::NameValueList list;
  list.SetText(record);
  const std::string saved = list.GetText();
  // Lines are the text's own pieces, in order, and cover all of it.
  std::size_t from = 0;
  for (std::size_t i = 0; i < list.Count(); ++i) {
    fuzz::Check(list.Line(i).find_first_of("\r\n") == std::string::npos, "a line holds no line end", list.Line(i));
    fuzz::Check(record.substr(from).starts_with(list.Line(i)), "every line comes from the text", list.Line(i));
    from += list.Line(i).size();
    if (from < record.size() && record[from] == '\r') ++from;
    if (from < record.size() && record[from] == '\n') ++from;
  }
  fuzz::Check(from == record.size(), "the lines cover the whole text", record);
  text::NameValueList again;
  again.SetText(saved);
  fuzz::Check(again.Count() == list.Count() && again.GetText() == saved, "GetText/SetText round trip", record);

  // The one-shot helpers against the list.
  fuzz::Check(text::FieldValue(record, name) == list.Value(name), "FieldValue agrees with the list", name);
  const std::string_view view = text::FieldView(record, name);
  fuzz::Check(view == list.Value(name), "FieldView agrees with the list", name);
  fuzz::Check(view.empty() || (view.data() >= record.data() && view.data() + view.size() <= record.data() + record.size()),
              "FieldView views the text", name);
  std::string removed(record);
  text::RemoveField(removed, name);
  // A text already in GetText form may be changed in place: same result.
  std::string removed_in_place(saved);
  text::RemoveField(removed_in_place, name);
  fuzz::Check(removed_in_place == removed, "RemoveField gives the same on a saved text", name);
  text::NameValueList kept;
  kept.SetText(removed);
  fuzz::Check(kept.IndexOfName(name) < 0, "RemoveField leaves no line of the name", name);
  std::size_t matching = 0;
  for (std::size_t i = 0, k = 0; i < list.Count(); ++i) {
    const bool named = list.Line(i).find('=') != std::string::npos && platform::SameTextSjis(list.NameAt(i), name);
    if (named) {
      ++matching;
      continue;
    }
    fuzz::Check(k < kept.Count() && kept.Line(k) == list.Line(i), "RemoveField keeps every other line in order", name);
    ++k;
  }
  fuzz::Check(kept.Count() + matching == list.Count(), "RemoveField removes only lines of the name", name);

  if (list.Count() <= 256) {
    // Required fields: a "blank-" field (any case) whose first line of that
    // name is empty makes the record incomplete.
    bool filled = true;
    for (std::size_t i = 0; i < list.Count(); ++i) {
      const std::string_view line_name = list.NameAt(i);
      if (!line_name.empty() && HasBlankMarker(line_name) && list.Value(line_name).empty()) filled = false;
    }
    fuzz::Check(text::RequiredFieldsFilled(record) == filled, "RequiredFieldsFilled agrees with the list", record);
  }

  // SetValue with a name and value that fit a line.
  if (name.find_first_of("=\r\n") != std::string_view::npos || value.find_first_of("\r\n") != std::string_view::npos) {
    return 0;
  }
  const bool had = list.IndexOfName(name) >= 0;
  const std::size_t before = list.Count();
  list.SetValue(name, value);
  if (value.empty()) {
    fuzz::Check(list.Count() == before - (had ? 1 : 0), "an empty value deletes one line", name);
  } else {
    fuzz::Check(list.Count() == before + (had ? 0 : 1), "a value replaces or appends one line", name);
    fuzz::Check(list.Value(name) == value, "Value reads what SetValue wrote", name);
    again.SetText(list.GetText());
    fuzz::Check(again.Value(name) == value, "a set value survives the text round trip", name);
  }
  return 0;
}
