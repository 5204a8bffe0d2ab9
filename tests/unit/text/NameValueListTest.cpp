#include "text/NameValueList.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Portable.h"
#include "platform/Exception.h"

using namespace std::string_literals;

namespace {

std::string Reparse(std::string_view text) {
  text::NameValueList list;
  list.SetText(text);
  return list.GetText();
}

using testing_os::TempDir;

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(NameValueListText, LineEnds) {
  EXPECT_EQ(Reparse("a=1\nb=2\r\nc=3"), "a=1\r\nb=2\r\nc=3\r\n");
  EXPECT_EQ(Reparse("a=1\rb=2"), "a=1\r\nb=2\r\n");
  EXPECT_EQ(Reparse("a=1\r\rb=2"), "a=1\r\n\r\nb=2\r\n");
  // LF CR is two line ends with an empty line between them.
  EXPECT_EQ(Reparse("a=1\n\rb=2"), "a=1\r\n\r\nb=2\r\n");
  // A final line end adds no empty line; inner empty lines remain.
  EXPECT_EQ(Reparse("a=1\r\n"), "a=1\r\n");
  EXPECT_EQ(Reparse("a=1\r\n\r\n\nb"), "a=1\r\n\r\n\r\nb\r\n");
  EXPECT_EQ(Reparse("\n"), "\r\n");
  EXPECT_EQ(Reparse(""), "");
  text::NameValueList list;
  list.SetText("a=1\n\rb=2\r\n");
  EXPECT_EQ(list.Count(), 3u);
  EXPECT_EQ(list.Line(1), "");
}

TEST(NameValueListText, NulIsAnOrdinaryByte) {
  const std::string text = "a=x\0y\r\nb=\0\r\n\0=z\r\n"s;
  text::NameValueList list;
  list.SetText(text);
  ASSERT_EQ(list.Count(), 3u);
  EXPECT_EQ(list.Value("a"), "x\0y"s);
  EXPECT_EQ(list.Value("b"), "\0"s);
  EXPECT_EQ(list.Value("\0"s), "z");
  EXPECT_EQ(list.GetText(), text);
}

TEST(NameValueListLookup, NamesAndValues) {
  text::NameValueList list;
  list.SetText("pw=a=b\nPW=x\n id=1\nid=1\nid=2\nnoequals\n=empty\nmail=\n");
  EXPECT_EQ(list.Value("pw"), "a=b");
  EXPECT_EQ(list.IndexOfName("Pw"), 0);
  EXPECT_EQ(list.Value("id"), "1");
  EXPECT_EQ(list.IndexOfName("id"), 3);  // " id" is another name
  EXPECT_EQ(list.IndexOfName("noequals"), -1);
  EXPECT_EQ(list.IndexOfName(""), 6);  // not the line without "="
  EXPECT_EQ(list.NameAt(5), "");
  EXPECT_EQ(list.NameAt(2), " id");
  EXPECT_EQ(list.Value("mail"), "");
  EXPECT_EQ(list.IndexOfName("mail"), 7);
  EXPECT_EQ(list.Value("missing"), "");
}

TEST(NameValueListLookup, CaseIsIgnoredForAsciiOnly) {
  text::NameValueList list;
  // 0x83 0x41 ("ア") and 0x83 0x61 differ only in a second byte, which is
  // never case-folded.
  list.SetText("\x83\x61=lower\r\n\x83\x41=upper\r\n");
  EXPECT_EQ(list.Value("\x83\x41"), "upper");
  EXPECT_EQ(list.Value("\x83\x61"), "lower");
}

TEST(NameValueListSetValue, SpellingPlacementAndDeletion) {
  text::NameValueList list;
  list.SetText("id=1\r\nPW=old\r\nfree text\r\nid=2\r\n");
  list.SetValue("pw", "new");
  list.SetValue("id", "3");
  list.SetValue("mail", "m@x");
  EXPECT_EQ(list.GetText(), "id=3\r\npw=new\r\nfree text\r\nid=2\r\nmail=m@x\r\n");
  list.SetValue("ID", "");
  EXPECT_EQ(list.GetText(), "pw=new\r\nfree text\r\nid=2\r\nmail=m@x\r\n");
  list.SetValue("country", "");
  EXPECT_EQ(list.GetText(), "pw=new\r\nfree text\r\nid=2\r\nmail=m@x\r\n");
  list.Delete(0);
  EXPECT_EQ(list.GetText(), "free text\r\nid=2\r\nmail=m@x\r\n");
}

TEST(PostedFieldTexts, FieldValueAndRemoveField) {
  EXPECT_EQ(text::FieldValue("command=x\nid=me\n", "ID"), "me");
  EXPECT_EQ(text::FieldValue("", "id"), "");
  std::string fields = "id=1\nx=2\nId=3\nidx=4";
  text::RemoveField(fields, "id");
  EXPECT_EQ(fields, "x=2\r\nidx=4\r\n");
  std::string written = "id=1\r\nx=2\r\nId=3\r\nidx=4\r\n";
  text::RemoveField(written, "id");
  EXPECT_EQ(written, "x=2\r\nidx=4\r\n");
  std::string none = "a\nb";
  text::RemoveField(none, "id");
  EXPECT_EQ(none, "a\r\nb\r\n");
}

TEST(PostedFieldTexts, RequiredFieldsFilled) {
  EXPECT_FALSE(text::RequiredFieldsFilled("blank-title=\r\nx=1\r\n"));
  EXPECT_TRUE(text::RequiredFieldsFilled("blank-title=a\r\nx=\r\n"));
  EXPECT_TRUE(text::RequiredFieldsFilled(""));
  EXPECT_FALSE(text::RequiredFieldsFilled("NoBlank-Note="));
  EXPECT_FALSE(text::RequiredFieldsFilled("a=1\nBLANK-X=\n"));
  EXPECT_TRUE(text::RequiredFieldsFilled("blank=\nblank_x=\n=\nblank-\n"));
  // Only the first line of a name counts, for every line of that name.
  EXPECT_TRUE(text::RequiredFieldsFilled("blank-a=1\nBlank-A=\n"));
  EXPECT_FALSE(text::RequiredFieldsFilled("blank-a=\nblank-a=1\n"));
}

TEST(NameValueListFile, SaveAndLoadKeepEveryByte) {
  TempDir dir;
  const std::string path = dir / "rec.txt";
  text::NameValueList list;
  list.SetText("id=me\nnote\nv=a\0b\n"s);
  list.SaveToFile(path);
  EXPECT_EQ(Slurp(path), "id=me\r\nnote\r\nv=a\0b\r\n"s);
  text::NameValueList loaded;
  loaded.LoadFromFile(path);
  EXPECT_EQ(loaded.Count(), 3u);
  EXPECT_EQ(loaded.Value("v"), "a\0b"s);
  loaded.SetValue("id", "you");
  loaded.SaveToFile(path);
  EXPECT_EQ(Slurp(path), "id=you\r\nnote\r\nv=a\0b\r\n"s);
  // Replaced in place, and no temporary file is left beside it.
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"rec.txt"});
}

TEST(NameValueListFile, ReaderOfTheOldRecordIsNeverDisturbed) {
  TempDir dir;
  const std::string path = dir / "rec.txt";
  text::NameValueList list;
  list.SetText("id=old\npw=secret");
  list.SaveToFile(path);
  // A record is replaced whole, never rewritten in place: what another
  // process opened before the save is still the complete old record.
  const std::string old_bytes = "id=old\r\npw=secret\r\n";
  list.SetText("id=new");
  {
    testing_os::HeldReader reader(path);
    bool saved = true;
#ifdef _WIN32
    // Windows may refuse to replace a file another process holds open (Wine
    // always does, even when the reader shares delete): after its retries
    // the save fails whole and the old record stands.
    try {
      list.SaveToFile(path);
    } catch (const platform::EFCreateError&) {
      saved = false;
    }
#else
    list.SaveToFile(path);
#endif
    EXPECT_EQ(reader.Rest(), old_bytes);
    EXPECT_EQ(Slurp(path), saved ? "id=new\r\n" : old_bytes);
    EXPECT_EQ(dir.Names(), std::vector<std::string>{"rec.txt"});
  }
  list.SaveToFile(path);
  EXPECT_EQ(Slurp(path), "id=new\r\n");
}

TEST(NameValueListFile, FailuresLeaveNothingBehind) {
  TempDir dir;
  text::NameValueList list;
  list.SetText("a=1");
  EXPECT_THROW(list.LoadFromFile(dir / "missing.txt"), platform::EFOpenError);
  EXPECT_THROW(list.SaveToFile(dir / "no/such/dir.txt"), platform::EFCreateError);
  std::filesystem::create_directory(dir / "taken.txt");
  EXPECT_THROW(list.SaveToFile(dir / "taken.txt"), platform::EFCreateError);
  EXPECT_EQ(dir.Names(), std::vector<std::string>{"taken.txt"});
}

TEST(Paths, ExistenceAndTrailingDelimiter) {
  TempDir dir;
  std::ofstream(dir / "f.txt") << "x";
  EXPECT_TRUE(text::FileExists(dir / "f.txt"));
  EXPECT_FALSE(text::FileExists(dir / ""));
  EXPECT_FALSE(text::FileExists(dir / "g.txt"));
  EXPECT_TRUE(text::DirectoryExists(dir / ""));
  EXPECT_FALSE(text::DirectoryExists(dir / "f.txt"));
  EXPECT_EQ(text::IncludeTrailingDelimiter(""), "/");
  EXPECT_EQ(text::IncludeTrailingDelimiter("/a/b"), "/a/b/");
  EXPECT_EQ(text::IncludeTrailingDelimiter("/a/b/"), "/a/b/");
}

}  // namespace
