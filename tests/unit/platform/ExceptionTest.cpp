#include <gtest/gtest.h>

#include <cerrno>

#include "PlatformTexts.h"
#include "Cp932.h"
#include "platform/Exception.h"

namespace {

TEST(PlatformTexts, EveryTextIsItsUtf8SpellingInCp932) {
  testing_texts::ExpectAllTextsRoundTrip(platform::texts::kAllTexts);
  // One text checked byte for byte, so a generator that produced UTF-8
  // twice would not pass: "ストリームへの書き込みエラー".
  EXPECT_EQ(platform::texts::StreamWriteError,
            "\x83\x58\x83\x67\x83\x8a\x81\x5b\x83\x80\x82\xd6\x82\xcc\x8f\x91\x82\xab\x8d\x9e\x82\xdd\x83\x47\x83\x89\x81\x5b");
}

TEST(FileErrors, MessagesNameThePathAndTheReason) {
  const platform::EFOpenError open_error("/x/y.txt", ENOENT);
  EXPECT_EQ(testing_texts::Cp932ToUtf8(open_error.Message()), "ファイル \"/x/y.txt\". No such file or directory は開けません");
  EXPECT_EQ(open_error.ClassName(), "EFOpenError");
  const platform::EFCreateError create_error("/x/y.txt", EACCES);
  EXPECT_EQ(testing_texts::Cp932ToUtf8(create_error.Message()), "ファイル \"/x/y.txt\". Permission denied を作成できません");
}

TEST(InOutErrors, TableNumbersHaveTheirTextsOthersTheNumber) {
  EXPECT_EQ(platform::EInOutError(2).Message(), platform::texts::IoError2);
  EXPECT_EQ(platform::EInOutError(101).Message(), platform::texts::IoError101);
  EXPECT_EQ(testing_texts::Cp932ToUtf8(platform::EInOutError(103).Message()), "I/O エラー (103)");
  EXPECT_EQ(platform::InOutNumberFromErrno(ENOENT), 2);
  EXPECT_EQ(platform::InOutNumberFromErrno(EACCES), 5);
  EXPECT_EQ(platform::InOutNumberFromErrno(ENOSPC), 101);
}

}  // namespace
