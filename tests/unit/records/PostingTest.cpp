// Naming of posted files: the extension rules, the record, the counter and
// the free-name searches on a scratch directory, and their claims.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "platform/Exception.h"
#include "platform/Files.h"
#include "records/Posting.h"

namespace {

namespace fs = std::filesystem;

TEST(PostingExtension, AttachmentsKeepOnlyJpegExtensions) {
  EXPECT_EQ(records::AttachmentExtension("Photo.JPG"), ".jpg");
  EXPECT_EQ(records::AttachmentExtension("a.b.Jpeg"), ".jpeg");
  EXPECT_EQ(records::AttachmentExtension("a.jpe"), ".jpe");
  EXPECT_EQ(records::AttachmentExtension("a.JFIF"), ".jfif");
  EXPECT_EQ(records::AttachmentExtension("a.pjpeg"), ".pjpeg");
  EXPECT_EQ(records::AttachmentExtension("a.pjp"), ".pjp");
  EXPECT_EQ(records::AttachmentExtension("noextension"), "");
  // Anything a server could run or show as a page, or mistake for a record.
  for (const char* name : {"x.php", "x.html", "x.svg", "x.txt", "x.TXT", "x.", "x.jpg.php", "x.jpgx", "x.jpg "}) {
    EXPECT_EQ(records::AttachmentExtension(name), ".jpg") << name;
  }
}

TEST(PostingExtension, DefaultFileKeepsItsOwnExtension) {
  EXPECT_EQ(records::DefaultFileExtension("/srv/img/Default.PNG"), ".png");
  EXPECT_EQ(records::DefaultFileExtension("/srv/img/default"), "");
  // A "." in a directory name is no extension of the file.
  EXPECT_EQ(records::DefaultFileExtension("/srv/v1.2/default"), "");
  EXPECT_EQ(records::DefaultFileExtension("C:\\v1.2\\default"), "");
  EXPECT_EQ(records::DefaultFileExtension("a.b:c"), "");
  // ".txt" is the record's extension.
  EXPECT_EQ(records::DefaultFileExtension("/srv/default.TXT"), ".jpg");
  // 表 (0x95 0x5C): its second byte is no delimiter.
  EXPECT_EQ(records::DefaultFileExtension("/srv/a.\x95\x5c"), ".\x95\x5c");
}

TEST(PostingRecord, FieldsBetweenTheTags) {
  auto joined = [](const platform::Bytes& record) {
    std::string out;
    for (std::string_view piece : record.Pieces()) out += piece;
    return out;
  };
  EXPECT_EQ(joined(records::PostedFileRecord("session=s1\r\nid=u1\r\nimg=a.jpg\r\n")),
            "<tslkeys>\r\nsession=s1\r\nid=u1\r\nimg=a.jpg\r\n\r\n</tslkeys>\r\n");
  EXPECT_EQ(joined(records::PostedFileRecord("")), "<tslkeys>\r\n\r\n</tslkeys>\r\n");
}

// A retitle changes two values and nothing else: a line break in them
// never starts a field of its own, a missing note is added inside the tags.
TEST(PostingRecord, RetitledRecordSetsTitleAndNoteOnly) {
  const std::string record = "<tslkeys>\r\nid=u1\r\nblank-title=Old\r\nleaf=a.jpg\r\n\r\n</tslkeys>\r\n";
  EXPECT_EQ(records::RetitledRecord(record, "New\r\nid=u2", "x\ny").value_or("none"),
            "<tslkeys>\r\nid=u1\r\nblank-title=New  id=u2\r\nleaf=a.jpg\r\nnote=x y\r\n\r\n</tslkeys>\r\n");
  EXPECT_EQ(records::RetitledRecord("<tslkeys>\r\nnote=a\r\ntitle=b\r\n\r\n</tslkeys>\r\n", "T", "").value_or("none"),
            "<tslkeys>\r\nnote=\r\ntitle=T\r\n\r\n</tslkeys>\r\n");
  EXPECT_EQ(records::RetitledRecord("<tslkeys>\r\nid=u1\r\n\r\n</tslkeys>\r\n", "T", "N").value_or("none"),
            "<tslkeys>\r\nid=u1\r\ntitle=T\r\nnote=N\r\n\r\n</tslkeys>\r\n");
  EXPECT_FALSE(records::RetitledRecord("id=u1\r\ntitle=x\r\n", "T", "N"));
}

TEST(PostingCounter, ParsesTheLeadingNumber) {
  EXPECT_EQ(records::ParseCounter("41\r\n"), 41);
  EXPECT_EQ(records::ParseCounter(" \r\n\t 7"), 7);
  EXPECT_EQ(records::ParseCounter("-3\r\n"), -3);
  EXPECT_EQ(records::ParseCounter("2147483647"), 2147483647);
  EXPECT_EQ(records::ParseCounter("12 junk"), 12);
  for (const char* bad : {"", "\r\n", "abc", "12abc", "2147483648", "-", "1.5"}) {
    try {
      records::ParseCounter(bad);
      ADD_FAILURE() << "no error for \"" << bad << "\"";
    } catch (const platform::EInOutError& e) {
      EXPECT_EQ(e.ErrorCode(), 106) << bad;
    }
  }
}

TEST(PostingCounter, TemplateNameCount) {
  EXPECT_EQ(records::TemplateNameCount("img####"), 10000);
  EXPECT_EQ(records::TemplateNameCount("###"), 1000);
  EXPECT_EQ(records::TemplateNameCount("fixed"), 1);
  EXPECT_EQ(records::TemplateNameCount("a#b#"), 100);
}

class PostingDir : public ScratchDirTest {
 protected:
  std::string Counter() const { return dir_ + "counter.txt"; }

  platform::Random rng_;
};

TEST_F(PostingDir, CounterStartsFromAMissingFile) {
  EXPECT_EQ(records::NextCounterName(Counter(), "img####", dir_, ".jpg", ".txt", rng_), "img0001");
  EXPECT_EQ(Read("counter.txt"), "1\r\n");
  EXPECT_EQ(records::NextCounterName(Counter(), "img####", dir_, ".jpg", ".txt", rng_), "img0002");
  EXPECT_EQ(Read("counter.txt"), "2\r\n");
}

TEST_F(PostingDir, CounterSkipsTakenNames) {
  Write("counter.txt", "41\r\n");
  Write("img0042.jpg");
  Write("img0044.txt");
  EXPECT_EQ(records::NextCounterName(Counter(), "img####", dir_, ".jpg", ".txt", rng_), "img0043");
  EXPECT_EQ(Read("counter.txt"), "43\r\n");
  EXPECT_EQ(records::NextCounterName(Counter(), "img####", dir_, ".jpg", ".txt", rng_), "img0045");
  EXPECT_EQ(Read("counter.txt"), "45\r\n");
}

TEST_F(PostingDir, CounterBeyondTheTemplateReusesFreeNames) {
  Write("counter.txt", "12344\r\n");
  // The directory is given without its delimiter here.
  EXPECT_EQ(records::NextCounterName(Counter(), "####", dir_.substr(0, dir_.size() - 1), ".jpg", ".txt", rng_),
            "2345");
  EXPECT_EQ(Read("counter.txt"), "12345\r\n");
}

TEST_F(PostingDir, CounterGivesUpWhenEveryNameIsTakenAndStaysUnchanged) {
  Write("counter.txt", "5\r\n");
  for (int i = 0; i < 10; ++i) Write("p" + std::to_string(i) + (i % 2 ? ".txt" : ".jpg"));
  EXPECT_EQ(records::NextCounterName(Counter(), "p#", dir_, ".jpg", ".txt", rng_), "");
  EXPECT_EQ(Read("counter.txt"), "5\r\n");
  // A template without "#" has one name.
  Write("only.jpg");
  EXPECT_EQ(records::NextCounterName(Counter(), "only", dir_, ".jpg", ".txt", rng_), "");
  EXPECT_EQ(Read("counter.txt"), "5\r\n");
}

TEST_F(PostingDir, CounterMovesOnWhenAClaimFails) {
  std::vector<std::string> offered;
  auto claim = [&](const std::string& name) {
    offered.push_back(name);
    return offered.size() > 2;  // the first two were taken by someone else
  };
  EXPECT_EQ(records::NextCounterName(Counter(), "n###", dir_, ".jpg", ".txt", rng_, claim), "n003");
  EXPECT_EQ(offered, (std::vector<std::string>{"n001", "n002", "n003"}));
  EXPECT_EQ(Read("counter.txt"), "3\r\n");
}

TEST_F(PostingDir, CounterWithoutANumberRaises) {
  Write("counter.txt", "abc\r\n");
  try {
    records::NextCounterName(Counter(), "img####", dir_, ".jpg", ".txt", rng_);
    FAIL() << "no error";
  } catch (const platform::EInOutError& e) {
    EXPECT_EQ(e.ErrorCode(), 106);
  }
  EXPECT_EQ(Names(), (std::vector<std::string>{"counter.txt"}));
}

TEST_F(PostingDir, CounterThatCannotBeReadRaises) {
  fs::create_directory(dir_ + "counter.txt");
  EXPECT_THROW(records::NextCounterName(Counter(), "img####", dir_, ".jpg", ".txt", rng_), platform::Exception);
}

TEST_F(PostingDir, CounterHeldTooLongRaisesAndLeavesTheCounter) {
  Write("counter.txt", "7\r\n");
  const platform::FileLock held = platform::FileLock::Acquire(platform::LockPathFor(Counter()));
  records::CounterRetry quick;
  quick.attempts = 3;
  quick.base_ms = 5;
  quick.spread_ms = 5;
  EXPECT_THROW(records::NextCounterName(Counter(), "img####", dir_, ".jpg", ".txt", rng_, {}, quick),
               platform::EFOpenError);
  EXPECT_EQ(Read("counter.txt"), "7\r\n");
}

TEST_F(PostingDir, FreeNameCountsFromOneAndReusesGaps) {
  for (const char* name : {"001.jpg", "001.txt", "002.jpg", "002.txt", "003.txt"}) Write(name);
  EXPECT_EQ(records::NextFreeName("###", dir_, ".jpg", ".txt"), "004");
  fs::remove(dir_ + "002.jpg");
  fs::remove(dir_ + "002.txt");
  EXPECT_EQ(records::NextFreeName("###", dir_, ".jpg", ".txt"), "002");
  // With no extension the data file is the bare name.
  Write("002");
  EXPECT_EQ(records::NextFreeName("###", dir_, "", ".txt"), "004");
}

TEST_F(PostingDir, FreeNameEndsWhenEverythingIsTaken) {
  for (int i = 0; i < 10; ++i) Write(std::to_string(i) + ".txt");
  EXPECT_EQ(records::NextFreeName("#", dir_, ".jpg", ".txt"), "");
  fs::remove(dir_ + "0.txt");
  // 10 is the last number a one-digit template can tell apart.
  EXPECT_EQ(records::NextFreeName("#", dir_, ".jpg", ".txt"), "0");
}

TEST_F(PostingDir, StampNameAddsThreeDigitSuffixes) {
  const std::string stamp = "20261207-125532-042";
  EXPECT_EQ(records::NextStampName(stamp, dir_, ".jpg", ".txt"), stamp);
  Write(stamp + ".jpg");
  EXPECT_EQ(records::NextStampName(stamp, dir_, ".jpg", ".txt"), stamp + "000");
  Write(stamp + "000.txt");
  EXPECT_EQ(records::NextStampName(stamp, dir_, ".jpg", ".txt"), stamp + "001");
  for (int i = 1; i < 1000; ++i) {
    char suffix[8];
    std::snprintf(suffix, sizeof suffix, "%03d", i);
    Write(stamp + suffix + ".jpg");
  }
  EXPECT_EQ(records::NextStampName(stamp, dir_, ".jpg", ".txt"), stamp + "1000");
  EXPECT_EQ(records::NextStampName(stamp, dir_, ".jpg", ".txt", {}, 1000), "");
}

TEST_F(PostingDir, StoreClaimsBothNamesOrNeither) {
  EXPECT_TRUE(records::StorePostedFiles(dir_, "a", ".jpg", "DATA", ".txt", "REC"));
  EXPECT_EQ(Read("a.jpg"), "DATA");
  EXPECT_EQ(Read("a.txt"), "REC");
  // The data name is taken: the existing file stays as it was.
  EXPECT_FALSE(records::StorePostedFiles(dir_, "a", ".jpg", "OTHER", ".txt", "OTHER"));
  EXPECT_EQ(Read("a.jpg"), "DATA");
  // Only the record name is taken (another extension): the claimed data
  // file is given back.
  EXPECT_FALSE(records::StorePostedFiles(dir_, "a", ".jpeg", "OTHER", ".txt", "OTHER"));
  EXPECT_EQ(Names(), (std::vector<std::string>{"a.jpg", "a.txt"}));
  // Its sized copies, in a folder of their own; one already there (left by
  // an earlier post of the name) is replaced.
  ASSERT_TRUE(records::StoreSizedCopies(dir_, "a", {{1080, "L"}, {880, "M"}}));
  ASSERT_TRUE(records::StoreSizedCopies(dir_, "a", {{880, "new"}, {480, "S"}}));
  EXPECT_EQ(Read("sized/a-880.jpg"), "new");
  EXPECT_EQ(Read("sized/a-480.jpg"), "S");
  // A post undone takes its copies along.
  records::RemovePostedFiles(dir_, "a", ".jpg", ".txt");
  EXPECT_EQ(Names(), std::vector<std::string>{"sized"});
  EXPECT_TRUE(fs::is_empty(dir_ + "sized"));
}

TEST_F(PostingDir, SearchesStoreThroughTheClaim) {
  auto claim = [&](const std::string& name) {
    return records::StorePostedFiles(dir_, name, ".jpg", "D", ".txt", "R");
  };
  // A name that looks free can still be held by a directory of that name.
  fs::create_directory(dir_ + "001.jpg");
  EXPECT_EQ(records::NextFreeName("###", dir_, ".jpg", ".txt", claim), "002");
  EXPECT_EQ(records::NextFreeName("###", dir_, ".jpg", ".txt", claim), "003");
  EXPECT_EQ(Read("002.txt"), "R");
  EXPECT_EQ(Read("003.jpg"), "D");
  EXPECT_FALSE(fs::exists(dir_ + "001.txt"));
}

}  // namespace
