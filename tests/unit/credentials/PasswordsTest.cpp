// Stored passwords: both forms checked, hashes in the PHC form libargon2
// writes and reads, and stored values that must match nothing however they ask.
#include "credentials/Passwords.h"

#include <gtest/gtest.h>

#include <string>

#include "platform/Exception.h"

#ifdef ORVALENGATE_HAVE_LIBARGON2
#include <argon2.h>
#endif

namespace {

using credentials::PasswordStorage;

// Written by Debian's argon2 tool (the reference implementation):
// `echo -n password | argon2 somesalt -id -t 2 -k 19456 -p 1 -l 32 -e`, and
// with salt somesaltsomesalt, -t 1 -k 64 -p 2 -l 16.
const std::string kRef = "$argon2id$v=19$m=19456,t=2,p=1$c29tZXNhbHQ$PL01amPyeUuxG7H0vIr5X+qHkZvWnHmGBGXFYvh8z2E";
const std::string kRef2 = "$argon2id$v=19$m=64,t=1,p=2$c29tZXNhbHRzb21lc2FsdA$YDWZ7SC7/FISnTlw8W9X9w";
const std::string kRefTail = "$c29tZXNhbHQ$PL01amPyeUuxG7H0vIr5X+qHkZvWnHmGBGXFYvh8z2E";

TEST(Passwords, MatchesEitherFormAndNothingElse) {
  const struct {
    std::string stored, posted;
    bool match;
  } rows[] = {
      {"secret", "secret", true},
      {"secret", "secreT", false},
      {"secret", "secret1", false},
      {"secret1", "secret", false},
      {"", "", true},  // as before hashing: a record without pw takes an empty one
      {"", "x", false},
      {kRef, "password", true},
      {kRef2, "password", true},
      {kRef, "Password", false},
      {kRef, "", false},
      // The stored hash is no password.
      {kRef, kRef, false},
      // Only a hash we check is one: a site that never hashed keeps a
      // password that merely looks like one.
      {"$argon2rocks", "$argon2rocks", true},
      {"$argon2i$v=19$m=19456,t=2,p=1" + kRefTail, "password", false},
      // Costlier than our own hashes: planted, it would make every check of
      // the ID cost what it asks; it is the password itself instead.
      {"$argon2id$v=19$m=262144,t=4,p=1" + kRefTail, "$argon2id$v=19$m=262144,t=4,p=1" + kRefTail, true},
      // Damaged, or asking for more than a check may cost: the password does not match.
      {"$argon2id$v=16$m=19456,t=2,p=1" + kRefTail, "password", false},
      {"$argon2id$m=19456,t=2,p=1" + kRefTail, "password", false},
      {"$argon2id$v=19$m=019456,t=2,p=1" + kRefTail, "password", false},
      {"$argon2id$v=19$m=19456,p=1,t=2" + kRefTail, "password", false},
      {"$argon2id$v=19$m=19456,t=2,p=1,x=1" + kRefTail, "password", false},
      {"$argon2id$v=19$m=262145,t=1,p=1" + kRefTail, "password", false},
      {"$argon2id$v=19$m=19456,t=17,p=1" + kRefTail, "password", false},
      {"$argon2id$v=19$m=262144,t=5,p=1" + kRefTail, "password", false},
      {"$argon2id$v=19$m=19456,t=2,p=0" + kRefTail, "password", false},
      {"$argon2id$v=19$m=19456,t=0,p=1" + kRefTail, "password", false},
      {"$argon2id$v=19$m=7,t=2,p=1" + kRefTail, "password", false},
      {"$argon2id$v=19$m=99999999999999999999,t=2,p=1" + kRefTail, "password", false},
      {"$argon2id$v=19$m=19456,t=2,p=1$c29tZXNhbHQ=$PL01amPyeUuxG7H0vIr5X+qHkZvWnHmGBGXFYvh8z2E", "password", false},
      {"$argon2id$v=19$m=19456,t=2,p=1$c29tZXNhbHR$PL01amPyeUuxG7H0vIr5X+qHkZvWnHmGBGXFYvh8z2E", "password", false},
      {"$argon2id$v=19$m=19456,t=2,p=1$c29tZQ$PL01amPyeUuxG7H0vIr5X+qHkZvWnHmGBGXFYvh8z2E", "password", false},
      {"$argon2id$v=19$m=19456,t=2,p=1$c29tZXNhbHQ$PL01amPyeUuxG7H0vIr5X+qHkZvWnHmGBGXFYvh8z2F", "password", false},
      {kRef + " ", "password", false},
      {kRef + "$x", "password", false},
      {"$argon2id$", "password", false},
  };
  for (const auto& row : rows) {
    EXPECT_EQ(credentials::PasswordMatches(row.stored, row.posted), row.match) << row.stored << " / " << row.posted;
  }
}

TEST(Passwords, StorageSettingAndRehash) {
  EXPECT_EQ(credentials::PasswordStorageFrom(""), credentials::PasswordStorage::kClear);
  // Any other value hashes, a misspelt one too.
  for (const char* setting : {"argon2id", "Argon2id", "argon2", "yes", "0"}) {
    EXPECT_EQ(credentials::PasswordStorageFrom(setting), credentials::PasswordStorage::kArgon2id) << setting;
  }
  EXPECT_TRUE(credentials::IsKnownPasswordHash("argon2id"));
  EXPECT_FALSE(credentials::IsKnownPasswordHash("argon2"));
  EXPECT_TRUE(credentials::NeedsRehash(credentials::PasswordStorage::kArgon2id, "secret"));
  EXPECT_FALSE(credentials::NeedsRehash(credentials::PasswordStorage::kArgon2id, kRef));
  EXPECT_FALSE(credentials::NeedsRehash(credentials::PasswordStorage::kArgon2id, ""));
  EXPECT_FALSE(credentials::NeedsRehash(credentials::PasswordStorage::kClear, "secret"));
  EXPECT_FALSE(credentials::NeedsRehash(credentials::PasswordStorage::kClear, kRef));
  // Checked in the clear, so stored hashed like any password in the clear.
  EXPECT_TRUE(credentials::NeedsRehash(credentials::PasswordStorage::kArgon2id, "$argon2rocks"));
}

// Each bound alone, at its edge and one past it: memory, memory times
// passes, and passes.
TEST(Passwords, HashCostsNoMoreThanOurOwn) {
  const struct {
    const char* params;
    bool hash;
  } rows[] = {
      {"m=19456,t=2,p=1", true}, {"m=19457,t=1,p=1", false}, {"m=9728,t=4,p=1", true},
      {"m=9729,t=4,p=1", false}, {"m=8,t=16,p=1", true},     {"m=8,t=17,p=1", false},
      {"m=256,t=1,p=16", true},  {"m=272,t=1,p=17", false},
  };
  for (const auto& row : rows) {
    const std::string stored = std::string("$argon2id$v=19$") + row.params + kRefTail;
    EXPECT_EQ(credentials::IsPasswordHash(stored), row.hash) << stored;
    EXPECT_EQ(credentials::LooksLikeUncheckedHash(stored), !row.hash) << stored;
  }
  EXPECT_FALSE(credentials::LooksLikeUncheckedHash("secret"));
}

TEST(Passwords, StoredHashesAreSaltedAndCheckable) {
  EXPECT_EQ(credentials::StoredPassword(credentials::PasswordStorage::kClear, "a&nbsp;b"), "a&nbsp;b");
  const std::string first = credentials::StoredPassword(credentials::PasswordStorage::kArgon2id, "a&nbsp;b");
  const std::string second = credentials::StoredPassword(credentials::PasswordStorage::kArgon2id, "a&nbsp;b");
  // 16 bytes of salt and 32 of hash, unpadded: 22 and 43 characters.
  EXPECT_TRUE(first.starts_with("$argon2id$v=19$m=19456,t=2,p=1$")) << first;
  EXPECT_EQ(first.size(), std::string("$argon2id$v=19$m=19456,t=2,p=1$").size() + 22 + 1 + 43) << first;
  EXPECT_NE(first, second);
  for (const std::string& stored : {first, second}) {
    EXPECT_TRUE(credentials::PasswordMatches(stored, "a&nbsp;b"));
    EXPECT_FALSE(credentials::PasswordMatches(stored, "a b"));
  }
  // libgcrypt takes no empty password: none is stored, none matches a hash.
  EXPECT_THROW(credentials::StoredPassword(credentials::PasswordStorage::kArgon2id, ""), platform::Exception);
  EXPECT_FALSE(credentials::PasswordMatches(first, ""));
}

// Debian's libargon2 checks our hashes and we check its: the two builds'
// records and other tools' can be used alike.
TEST(Passwords, AgreeWithLibargon2) {
#ifndef ORVALENGATE_HAVE_LIBARGON2
  GTEST_SKIP() << "libargon2 not installed (libargon2-dev; scripts/install-deps.sh installs it)";
#else
  for (const std::string password : {"password", "\x95\x5c&nbsp;<br>"}) {
    const std::string ours = credentials::StoredPassword(credentials::PasswordStorage::kArgon2id, password);
    EXPECT_EQ(argon2id_verify(ours.c_str(), password.data(), password.size()), ARGON2_OK) << ours;
    EXPECT_NE(argon2id_verify(ours.c_str(), "other", 5), ARGON2_OK) << ours;
    const std::string salt = "0123456789abcdef" + password;
    char theirs[256];
    ASSERT_EQ(argon2id_hash_encoded(3, 12288, 1, password.data(), password.size(), salt.data(), salt.size(), 32,
                                    theirs, sizeof theirs),
              ARGON2_OK);
    EXPECT_TRUE(credentials::PasswordMatches(theirs, password)) << theirs;
    EXPECT_FALSE(credentials::PasswordMatches(theirs, password + "x")) << theirs;
  }
#endif
}

}  // namespace
