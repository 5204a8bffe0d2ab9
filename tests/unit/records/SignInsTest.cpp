// What a sign-in promises: its token is kept only as a digest, it holds for
// its own session and member alone, for as long as its lifetimes allow, and
// ends with the member's password, record or sign-out.
#include "records/SignIns.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "ScratchDir.h"
#include "platform/Digest.h"

namespace {

class SignIns : public ScratchDirTest {
 protected:
  void SetUp() override {
    ScratchDirTest::SetUp();
    platform::InitGcrypt();
    Write("u1.txt", "id=u1\r\npw=secret1\r\n");
    Write("u2.txt", "id=u2\r\npw=secret2\r\n");
  }
  std::optional<std::string> Member(const std::string& token, std::int64_t now, std::string_view session = "s1") {
    return records::SignedInMember(dir_, session, token, now, lifetimes_);
  }
  std::string FileOf(const std::string& token) { return ".signin-" + platform::Sha256Hex(token); }
  records::SignInLifetimes lifetimes_{1000, 5000};
};

TEST_F(SignIns, HoldForTheirOwnSessionAndMemberOnly) {
  const std::optional<std::string> token = records::BeginSignIn(dir_, "s1", "u1", 100);
  ASSERT_TRUE(token);
  EXPECT_EQ(token->size(), 64u);
  EXPECT_EQ(token->find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(Member(*token, 101), "u1");
  // Kept as its digest: the token itself is in no file.
  const std::string stored = Read(FileOf(*token));
  EXPECT_NE(stored.find("id=u1\r\n"), std::string::npos);
  EXPECT_EQ(stored.find(*token), std::string::npos);
  EXPECT_EQ(stored.find("secret1"), std::string::npos);
  EXPECT_EQ(std::filesystem::status(dir_ + FileOf(*token)).permissions() & std::filesystem::perms::others_read,
            std::filesystem::perms::none);
  // Another session's: not here, and left to that session.
  EXPECT_FALSE(Member(*token, 101, "s2"));
  EXPECT_EQ(Member(*token, 101), "u1");
  // Forged: a token of the right form no sign-in has, one of another form,
  // the digest that names the file.
  std::string forged = *token;
  forged[0] = forged[0] == 'a' ? 'b' : 'a';
  for (const std::string& bad : {forged, token->substr(1), *token + "0", std::string(64, 'A'), std::string(),
                                 platform::Sha256Hex(*token), std::string("../u1.txt")}) {
    EXPECT_FALSE(Member(bad, 101)) << bad;
  }
  // Each sign-in is new: no token is handed out twice.
  const std::optional<std::string> again = records::BeginSignIn(dir_, "s1", "u1", 102);
  ASSERT_TRUE(again);
  EXPECT_NE(*again, *token);
  EXPECT_FALSE(records::BeginSignIn(dir_, "s1", "nobody", 102));
  // The form token is the sign-in's own, and reveals neither it nor its file.
  EXPECT_NE(records::SignInFormToken(*token), records::SignInFormToken(*again));
  EXPECT_NE(records::SignInFormToken(*token), platform::Sha256Hex(*token));
  EXPECT_EQ(records::SignInFormToken(*token).size(), 64u);
}

TEST_F(SignIns, EndWithTheirLifetimesPasswordRecordOrSignOut) {
  // Idle: used at 100, unused until 1100.
  const std::string idle = *records::BeginSignIn(dir_, "s1", "u1", 100);
  EXPECT_EQ(Member(idle, 1099), "u1");
  const std::string idle2 = *records::BeginSignIn(dir_, "s1", "u1", 100);
  EXPECT_FALSE(Member(idle2, 1100));
  EXPECT_EQ(Read(FileOf(idle2)), "<missing>");
  // Kept in use (a use is stamped after an hour's rest; here lifetimes are
  // short) it still ends at its absolute lifetime.
  lifetimes_ = {4000, 5000};
  const std::string used = *records::BeginSignIn(dir_, "s1", "u1", 0);
  EXPECT_EQ(Member(used, 3700), "u1");
  EXPECT_NE(Read(FileOf(used)).find("used=3700\r\n"), std::string::npos);
  EXPECT_EQ(Member(used, 4999), "u1");
  EXPECT_FALSE(Member(used, 5000));
  // A new password ends every sign-in of the member, and only theirs.
  const std::string a = *records::BeginSignIn(dir_, "s1", "u1", 100);
  const std::string b = *records::BeginSignIn(dir_, "s1", "u1", 100);
  const std::string other = *records::BeginSignIn(dir_, "s1", "u2", 100);
  Write("u1.txt", "id=u1\r\npw=fresh12\r\n");
  EXPECT_FALSE(Member(a, 101));
  EXPECT_FALSE(Member(b, 101));
  EXPECT_EQ(Member(other, 101), "u2");
  // Even the old password set again: the sign-ins are gone.
  Write("u1.txt", "id=u1\r\npw=secret1\r\n");
  EXPECT_FALSE(Member(a, 101));
  // The record removed.
  std::filesystem::remove(dir_ + "u2.txt");
  EXPECT_FALSE(Member(other, 101));
  // Signed out.
  const std::string out = *records::BeginSignIn(dir_, "s1", "u1", 100);
  records::EndSignIn(dir_, out);
  EXPECT_FALSE(Member(out, 101));
  EXPECT_EQ(Read(FileOf(out)), "<missing>");
}

}  // namespace

namespace {

// Sign-ins whose cookies never come back do not pile up: a new one sweeps
// the session's finished ones and keeps each member to the cap, oldest
// going first; another session's and another member's stay.
TEST_F(SignIns, ANewSignInSweepsFinishedOnesAndHoldsTheCap) {
  const auto other_session = records::BeginSignIn(dir_, "s2", "u1", 0, lifetimes_);
  const auto stale = records::BeginSignIn(dir_, "s1", "u2", 0, lifetimes_);
  std::vector<std::string> tokens;
  for (std::int64_t t = 1000; tokens.size() < records::kMaxSignInsPerMember + 1; ++t) {
    tokens.push_back(records::BeginSignIn(dir_, "s1", "u1", t, lifetimes_).value_or(""));
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ + FileOf(tokens[0])));
  EXPECT_TRUE(std::filesystem::exists(dir_ + FileOf(tokens[1])));
  EXPECT_EQ(Member(tokens.back(), 1100), "u1");
  EXPECT_FALSE(std::filesystem::exists(dir_ + FileOf(stale.value_or(""))));  // idle for 1000 s
  EXPECT_TRUE(std::filesystem::exists(dir_ + FileOf(other_session.value_or(""))));
}

}  // namespace
