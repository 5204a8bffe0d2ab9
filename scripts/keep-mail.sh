#!/bin/sh
# A mail program for a site on one machine (the demo's): instead of
# sending, it keeps every mail it is handed in FOLDER, as sent (NAME.eml,
# for a mail reader) and readable (NAME.txt: the headers and the body
# decoded, so a reset link can be copied from it). Nothing leaves the
# machine. Run as sendmail is, with the message on standard input.
# Usage: keep-mail.sh FOLDER [-t -i]
set -eu
PATH=/usr/sbin:/usr/bin:/sbin:/bin
folder=$1
mkdir -p "$folder"
name=$(date +%Y%m%d-%H%M%S)-$$
# Written aside and renamed: the folder holds whole mails only.
cat >"$folder/.$name.eml"
{ sed '/^$/q' "$folder/.$name.eml"; sed '1,/^$/d' "$folder/.$name.eml" | base64 -d; } >"$folder/.$name.txt"
mv "$folder/.$name.eml" "$folder/$name.eml"
mv "$folder/.$name.txt" "$folder/$name.txt"
