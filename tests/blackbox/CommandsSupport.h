// What the member commands answer, as the web server sees it: the exact page
// bytes (Shift_JIS written as escapes, the text in a comment) and small
// helpers to post a command and read the page back.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "Harness.h"

namespace blackbox::commands {

namespace msg {
// There is a blank. 空欄があります
inline const std::string kBlank = "There is a blank. \x8b\xf3\x97\x93\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb7";
// The password is wrong. パスワードの入力エラー
inline const std::string kPasswordMismatch =
    "The password is wrong. \x83p\x83X\x83\x8f\x81[\x83h\x82\xcc\x93\xfc\x97\xcd\x83G\x83\x89\x81[";
// Password must be five or more characters. パスワードは５文字以上で
inline const std::string kPasswordTooShort =
    "Password must be five or more characters. "
    "\x83p\x83X\x83\x8f\x81[\x83h\x82\xcd\x82T\x95\xb6\x8e\x9a\x88\xc8\x8f\xe3\x82\xc5";
// The same ID is already registered. 同じＩＤが既に登録されています
inline const std::string kIdAlreadyRegistered =
    "The same ID is already registered. \x93\xaf\x82\xb6\x82h\x82"
    "c\x82\xaa\x8a\xf9\x82\xc9\x93o\x98^\x82\xb3\x82\xea\x82\xc4\x82\xa2\x82\xdc\x82\xb7";
// The ID contains characters that cannot be used. ＩＤに使用できない文字が含まれています
inline const std::string kIdUnusable =
    "The ID contains characters that cannot be used. \x82h\x82"
    "c\x82\xc9\x8eg\x97p\x82\xc5\x82\xab\x82\xc8\x82\xa2\x95\xb6\x8e\x9a\x82\xaa\x8a\xdc\x82\xdc\x82\xea\x82\xc4\x82"
    "\xa2\x82\xdc\x82\xb7";
// The ID does not exist. ＩＤが存在しません
inline const std::string kIdDoesNotExist =
    "The ID does not exist. \x82h\x82"
    "c\x82\xaa\x91\xb6\x8d\xdd\x82\xb5\x82\xdc\x82\xb9\x82\xf1";
// A new password is different. 新パスワードの入力エラー
inline const std::string kNewPasswordMismatch =
    "A new password is different. \x90V\x83p\x83X\x83\x8f\x81[\x83h\x82\xcc\x93\xfc\x97\xcd\x83G\x83\x89\x81[";
// password was not changed. 変更できませんでした
inline const std::string kPasswordNotChanged =
    "password was not changed. \x95\xcf\x8dX\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd";
// ID and password are required. ID,PWは必須です
inline const std::string kIdPasswordRequired = "ID and password are required. ID,PW\x82\xcd\x95K\x90{\x82\xc5\x82\xb7";
inline const std::string kIdPasswordRequiredE = "ID and password are required.";
// ID does not exist. ＩＤが存在しません
inline const std::string kProfileIdMissing =
    "ID does not exist. \x82h\x82"
    "c\x82\xaa\x91\xb6\x8d\xdd\x82\xb5\x82\xdc\x82\xb9\x82\xf1";
inline const std::string kProfileIdMissingE = "ID does not exis.";
// profile was not changed. 変更できませんでした
inline const std::string kProfileNotChanged =
    "profile was not changed. \x95\xcf\x8dX\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd";
// The member does not exist.メンバーが存在しません
inline const std::string kMemberDoesNotExist =
    "The member does not exist.\x83\x81\x83\x93\x83o\x81[\x82\xaa\x91\xb6\x8d\xdd\x82\xb5\x82\xdc\x82\xb9\x82\xf1";
// The password is wrong. パスワードが違います
inline const std::string kPasswordWrong =
    "The password is wrong. \x83p\x83X\x83\x8f\x81[\x83h\x82\xaa\x88\xe1\x82\xa2\x82\xdc\x82\xb7";
// There is no attached file. 添付ファイルがありません
inline const std::string kNoAttachedFile =
    "There is no attached file. \x93Y\x95t\x83t\x83@\x83"
    "C\x83\x8b\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
// No free file name is left. 空いているファイル名がありません
inline const std::string kNoFreeFileName =
    "No free file name is left. \x8b\xf3\x82\xa2\x82\xc4\x82\xa2\x82\xe9\x83t\x83@\x83"
    "C\x83\x8b\x96\xbc\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
// no data データがありません
inline const std::string kNoData = "no data \x83\x66\x81\x5b\x83\x5e\x82\xaa\x82\xa0\x82\xe8\x82\xdc\x82\xb9\x82\xf1";
// The session does not exist. セッションが存在しません
inline const std::string kSessionMissing =
    "The session does not exist. \x83\x5a\x83\x62\x83\x56\x83\x87\x83\x93\x82\xaa\x91\xb6\x8d\xdd\x82\xb5\x82\xdc\x82\xb9\x82\xf1";
// The request is too large. 送信データが大きすぎます
inline const std::string kRequestTooLarge =
    "The request is too large. \x91\x97\x90\x4d\x83\x66\x81\x5b\x83\x5e\x82\xaa\x91\xe5\x82\xab\x82\xb7\x82\xac\x82\xdc\x82\xb7";
// The profile is too long. 登録内容が長すぎます
inline const std::string kProfileTooLong =
    "The profile is too long. \x93\x6f\x98\x5e\x93\xe0\x97\x65\x82\xaa\x92\xb7\x82\xb7\x82\xac\x82\xdc\x82\xb7";
// The ID must not begin or end with a blank. ＩＤの前後に空白は使えません
inline const std::string kIdBlankEnds =
    "The ID must not begin or end with a blank. "
    "\x82\x68\x82\x63\x82\xcc\x91\x4f\x8c\xe3\x82\xc9\x8b\xf3\x94\x92\x82\xcd\x8e\x67\x82\xa6\x82\xdc\x82\xb9\x82\xf1";
}  // namespace msg

inline const std::string kMetaLine =
    "<META http-equiv=\"Content-Type\" content=\"text/html; charset=Shift_JIS\"></head>\r\n";

inline std::string ErrorPageFor(std::string_view message) {
  return "<html><head><title>error</title>\r\n" + kMetaLine + "<body><h3>ERROR: " + std::string(message) +
         "</h3>\r\n</body></html>\r\n";
}

inline const std::string kFileAccepted =
    "<html><head><title>File acceptance</title>\r\n" + kMetaLine +
    // <body><h3>ACCEPTED. ファイルを受け付けました</h3>
    "<body><h3>ACCEPTED. \x83t\x83@\x83"
    "C\x83\x8b\x82\xf0\x8e\xf3\x82\xaf\x95t\x82\xaf\x82\xdc\x82\xb5\x82\xbd</h3>\r\n"
    "</body></html>\r\n";

inline const std::string kRegistrationAccepted =
    "<html><head><title>Registration acceptance</title>\r\n" + kMetaLine +
    // <body><h3>ACCEPTED. 登録を受け付けました</h3>
    "<body><h3>ACCEPTED. \x93o\x98^\x82\xf0\x8e\xf3\x82\xaf\x95t\x82\xaf\x82\xdc\x82\xb5\x82\xbd</h3>\r\n"
    // <form><input type="button" value="close 閉じる" onclick="window.close()"></form>
    "<form><input type=\"button\" value=\"close \x95\xc2\x82\xb6\x82\xe9\" onclick=\"window.close()\"></form>\r\n"
    "</body></html>\r\n";

// The content of an answer (what follows the header block).
inline std::string Content(const Result& r) { return SplitAnswer(r.out).second; }
inline std::string Header(const Result& r) { return SplitAnswer(r.out).first; }

// A text field part.
inline Part Field(std::string name, std::string value) { return Part{std::move(name), std::move(value), "", ""}; }
// A JPEG file part.
inline Part Jpeg(std::string name, std::string filename, std::string bytes) {
  return Part{std::move(name), std::move(bytes), std::move(filename), "image/jpeg"};
}

// The request (environment and body) of a multipart post, for RunAll.
inline std::pair<Env, std::string> MultipartRequest(const std::vector<Part>& parts) {
  std::string body = MultipartBody(parts);
  Env env = PostEnv("multipart/form-data; boundary=----orvalengateB0undary", body.size());
  return {env, std::move(body)};
}

// The request of a URL-encoded post, for RunAll.
inline std::pair<Env, std::string> UrlEncodedRequest(std::string body) {
  Env env = PostEnv("application/x-www-form-urlencoded", body.size());
  return {env, std::move(body)};
}

// Names in a directory of the site without the hidden lock and temporary
// files the program keeps beside its files.
inline std::vector<std::string> Visible(const Site& site, std::string_view rel_dir) {
  std::vector<std::string> out;
  for (std::string& name : site.List(rel_dir)) {
    if (!name.empty() && name[0] != '.') out.push_back(std::move(name));
  }
  return out;
}

}  // namespace blackbox::commands
