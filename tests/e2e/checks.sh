# The one list of checks every web server must pass, sourced by the e2e
# runners after start_site (tests/e2e/server.sh): base, cgi and site are set.
# A layout of its own (the Debian package's) sets data and htdocs instead of
# site, and no_dumps=1 where config.txt names no dumppath.
source "$(dirname "${BASH_SOURCE[0]}")/assert.sh"
data=${data:-$site/data} htdocs=${htdocs:-$site/htdocs}

page=$(curl -s "$base/")
check "index page is served" contains "$page" '<input type="hidden" name="session" value="demo">'
check "the site's icon is served as an image" test "$(curl -s -o /dev/null -w "%{http_code} %{content_type}" "$base/favicon.ico" | cut -c1-10)" = "200 image/"

reply=$(curl -s -D "$work/h1" -F session=demo -F command=registration -F id=alice -F pw=secret1 -F pw2=secret1 \
  -F "realname=Alice Liddell" -F mail=alice@example.com -F country=UK "$cgi")
check "registration accepted" contains "$reply" "<title>Registration acceptance</title>"
check "status 200 from the CGI status line" grep -q "^HTTP/1.1 200" "$work/h1"
check "content type from the program" grep -qi "^Content-Type: text/html" "$work/h1"
expected=$'id=alice\r\npw=secret1\r\nrealname=Alice&nbsp;Liddell\r\ncountry=UK\r\nmail=alice@example.com\r\n'
check "record holds the five lines" same_bytes "$data/members/alice.txt" "$expected"

reply=$(curl -s -F session=demo -F command=registration -F id=alice -F pw=other12 -F pw2=other12 \
  -F realname=Mallory -F mail=m@example.com "$cgi")
check "second registration refused" contains "$reply" "The same ID is already registered."
check "record untouched" same_bytes "$data/members/alice.txt" "$expected"

reply=$(curl -s "$cgi?showuser=alice&session=demo")
check "profile view shows the name" contains "$reply" "Alice&nbsp;Liddell"
check "profile view never shows the password" lacks "$reply" secret1

# Shift_JIS both ways: 山田 ソ太郎, whose ソ ends in the byte of "\".
ja_name=$'\x8e\x52\x93\x63 \x83\x5c\x91\xbe\x98\x59'
ja_shown=$'\x8e\x52\x93\x63&nbsp;\x83\x5c\x91\xbe\x98\x59'
reply=$(curl -s -d "session=demo&command=registration&id=taro&pw=secret3&pw2=secret3&mail=t@example.jp&realname=%8E%52%93%63+%83%5C%91%BE%98%59" "$cgi")
check "Shift_JIS url-encoded registration accepted" contains "$reply" "<title>Registration acceptance</title>"
check "Shift_JIS name stored as sent" grep -qF "realname=$ja_shown" "$data/members/taro.txt"
reply=$(curl -s "$cgi?showuser=taro&session=demo")
check "Shift_JIS name shown as stored" contains "$reply" "$ja_shown"
reply=$(curl -s -F session=demo -F command=changeprof1 -F id=taro -F pw=secret3 "$cgi")
check "japanese profile form" contains "$reply" $'\x81\xa1\x83v\x83\x8d\x83t\x83B\x81[\x83\x8b\x95\xcf\x8dX'
check "japanese profile form holds the name" contains "$reply" "${ja_name%% *}"
reply=$(curl -s -F session=demo -F command=changeprof2 -F id=taro -F pw=secret3 -F "realname=$ja_name" \
  -F mail=t@example.jp -F "comment=$ja_name" "$cgi")
check "Shift_JIS multipart profile save" contains "$reply" "$ja_shown"

reply=$(curl -s -F session=demo -F command=changeprof1e -F id=alice -F pw=secret1 "$cgi")
check "english profile form" contains "$reply" "<h4>Your Profile</h4>"

reply=$(curl -s -F session=demo -F command=changeprof2 -F id=alice -F pw=secret1 -F "realname=Alice Liddell" \
  -F mail=alice@example.com -F country=UK -F "comment=Down the rabbit hole" -F url1=https://example.org/ \
  -F urlname1=Home "$cgi")
check "profile save answers with the profile page" contains "$reply" 'Down&nbsp;the&nbsp;rabbit&nbsp;hole'
check "saved link shown" contains "$reply" '<a href="https://example.org/"  target="_blank"> https://example.org/</a>'

printf '\xff\xd8\xff\xe0\x00\x10JFIF\x00demo-bytes\xff\xd9' > "$work/cat.jpg"
reply=$(curl -s -F session=demo -F command=postleaf -F id=alice -F pw=secret1 -F blank-title=Cat \
  -F "leaf=@$work/cat.jpg;type=image/jpeg" "$cgi")
check "post accepted" contains "$reply" "<title>File acceptance</title>"
check "image stored byte for byte" cmp -s "$work/cat.jpg" "$data/upload/img0001.jpg"
record=$'<tslkeys>\r\nsession=demo\r\nid=alice\r\nblank-title=Cat\r\nleaf=cat.jpg\r\n\r\n</tslkeys>\r\n'
check "posted-file record" same_bytes "$data/upload/img0001.txt" "$record"
check "stored image is served back" cmp -s "$work/cat.jpg" <(curl -s "$base/upload/img0001.jpg")

{ printf '\xff\xd8\xff\xe0\x00\x10JFIF\x00'; head -c $((16 << 20)) /dev/urandom; printf '\xff\xd9'; } > "$work/big.jpg"
reply=$(curl -s -F session=demo -F command=postleaf -F id=alice -F pw=secret1 -F blank-title=Big \
  -F "leaf=@$work/big.jpg;type=image/jpeg" "$cgi")
check "16 MiB post accepted" contains "$reply" "<title>File acceptance</title>"
check "16 MiB image stored byte for byte" cmp -s "$work/big.jpg" "$data/upload/img0002.jpg"
check "16 MiB image served back" cmp -s "$work/big.jpg" <(curl -s "$base/upload/img0002.jpg")

check "posted-file record is not served" refused "$base/upload/img0001.txt"
check "upload counter is not served" refused "$base/upload/counter.txt"
check "the program's config.txt is not served" refused "$base/cgi/config.txt"

# Every name the program keeps a post under (and none, for a file that is no
# JPEG) is served as a type no browser runs, never sniffed, without script.
n=3
for ext in .jpg .jpeg .jpe .jfif .pjpeg .pjp ""; do
  curl -s -o /dev/null -F session=demo -F command=postleaf -F id=alice -F pw=secret1 \
    -F "leaf=@$work/cat.jpg;filename=photo$ext;type=image/jpeg" "$cgi"
  headers=$(curl -s -D - -o /dev/null "$base/upload/$(printf 'img%04d' $n)$ext" | tr -d '\r'); n=$((n+1))
  type=image/jpeg; [ -n "$ext" ] || type=application/octet-stream
  check "upload$ext served as $type" grep -qix "content-type: $type" <<<"$headers"
  check "upload$ext never sniffed" grep -qix "x-content-type-options: nosniff" <<<"$headers"
  check "upload$ext may run no script" grep -qiE "^content-security-policy: default-src 'none';.*sandbox" <<<"$headers"
done

# A post through the second page set writes its sized copies beside the
# upload folder's listing, served as the posts are.
{ cat "$data/sessions/demo.txt"; printf 'Pages=modern\r\nUploadUrl=/upload/\r\n'; } > "$data/sessions/modern.txt"
convert -size 64x48 gradient:navy-orange "$work/real.jpg"
curl -s -o /dev/null -F session=modern -F command=postleaf -F id=alice -F pw=secret1 \
  -F "leaf=@$work/real.jpg;type=image/jpeg" -F blank-title=Dusk "$cgi"
copy=$(printf 'img%04d' $n)-480.jpg; n=$((n+1))
headers=$(curl -s -D - -o "$work/copy.jpg" "$base/upload/sized/$copy" | tr -d '\r')
check "a sized copy is written and served" cmp -s "$data/upload/sized/$copy" "$work/copy.jpg"
check "a sized copy is served as image/jpeg" grep -qix "content-type: image/jpeg" <<<"$headers"
check "a sized copy is never sniffed" grep -qix "x-content-type-options: nosniff" <<<"$headers"
check "a sized copy may run no script" grep -qiE "^content-security-policy: default-src 'none';.*sandbox" <<<"$headers"

# A phone photo in a session that strips locations: made by ImageMagick and
# given a place, an orientation and an XMP packet by exiftool, in both byte
# orders. The stored copy has no GPS tag left, the same orientation and the
# same image data from the start-of-scan on.
{ cat "$data/sessions/demo.txt"; printf 'StripLocation=1\r\n'; } > "$data/sessions/photos.txt"
from_scan() { tail -c +$(($(LC_ALL=C grep -obUaP -m1 '\xff\xda' "$1" | head -1 | cut -d: -f1) + 1)) "$1"; }
n=$(tr -d '\r\n' < "$data/upload/counter.txt")
for order in II MM; do
  photo=$work/phone-$order.jpg n=$((n + 1))
  convert -size 64x48 gradient:navy-orange "$photo"
  exiftool -q -overwrite_original -ExifByteOrder=$order -Orientation#=6 -GPSLatitude=35.6586 -GPSLatitudeRef=N \
    -GPSLongitude=139.7454 -GPSLongitudeRef=E -GPSAltitude=40 -XMP-exif:GPSLatitude=35.6586N -XMP-dc:Title=Home "$photo"
  check "$order fixture carries a location" contains "$(exiftool -a -G1 -s "$photo")" GPSLatitude
  reply=$(curl -s -F session=photos -F command=postleaf -F id=alice -F pw=secret1 -F blank-title=Home \
    -F "leaf=@$photo;type=image/jpeg" "$cgi")
  check "$order photo accepted" contains "$reply" "<title>File acceptance</title>"
  stored=$data/upload/$(printf 'img%04d' $n).jpg
  check "$order photo stored without any GPS tag" lacks "$(exiftool -a -u -G1 -s "$stored" 2>&1)" GPS
  check "$order photo keeps its orientation" test "$(exiftool -n -s3 -Orientation "$stored")" = 6
  check "$order photo keeps its image data" cmp -s <(from_scan "$photo") <(from_scan "$stored")
done

# Places hidden where the filter once missed them, each in a photo exiftool
# wrote: a preview carrying its own GPS, a GPS directory under SubIFDs (the
# TIFF block made by hand, written in by exiftool), XMP and IPTC as IFD0
# tags, and XMP, IPTC and a C2PA (JUMBF) manifest in segments of their own.
located() {  # what exiftool reads as a place in a file or its preview
  { exiftool -a -G1 -s "$1"; exiftool -b -ThumbnailImage "$1" | exiftool -a -G1 -s -; } 2>&1 |
    grep -iE 'GPS|City|Country|Location|JUMBF|C2PA'
}
convert -size 16x12 gradient:red-blue "$work/thumb.jpg"
exiftool -q -overwrite_original -GPSLatitude=35.6586 -GPSLatitudeRef=N "$work/thumb.jpg"
printf 'MM\0*\0\0\0\x08\0\x02\x01\x12\0\x03\0\0\0\x01\0\x06\0\0\x01\x4a\0\x04\0\0\0\x01\0\0\0\x26\0\0\0\0\0\x01\x88\x25\0\x04\0\0\0\x01\0\0\0\x38\0\0\0\0\0\x02\0\x01\0\x02\0\0\0\x02N\0\0\0\0\x02\0\x05\0\0\0\x03\0\0\0\x56\0\0\0\0\0\0\0\x23\0\0\0\x01\0\0\0\x27\0\0\0\x01\0\0\0\x1e\0\0\0\x01' > "$work/subifd.tif"
printf '<?xpacket begin="" id="W5M0MpCehiHzreSzNTczkc9d"?><x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description xmlns:exif="http://ns.adobe.com/exif/1.0/" xmlns:photoshop="http://ns.adobe.com/photoshop/1.0/" exif:GPSLatitude="35,39.5N" photoshop:City="Minato"/></rdf:RDF></x:xmpmeta><?xpacket end="w"?>' > "$work/place.xmp"
convert -size 16x12 xc:white "$work/iptc.jpg"
exiftool -q -overwrite_original -IPTC:City=Minato -IPTC:Sub-location=Shiba "$work/iptc.jpg"
exiftool -b -IPTC "$work/iptc.jpg" > "$work/place.iptc"
jumbf='\xff\xeb\0\x49JP\0\x01\0\0\0\x01\0\0\0\x3fjumb\0\0\0\x1ejumdjson\0\x11\0\x10\x80\0\0\xaa\0\x38\x9b\x71\x03c2pa\0\0\0\0\x19json{"City":"Minato"}'
for kind in preview subifd ifd0-xmp ifd0-iptc segments; do
  photo=$work/$kind.jpg n=$((n + 1))
  convert -size 64x48 gradient:navy-orange "$photo"
  case $kind in
    preview)   fixture=("-ThumbnailImage<=$work/thumb.jpg") ;;
    subifd)    fixture=("-EXIF<=$work/subifd.tif") ;;
    ifd0-xmp)  fixture=("-IFD0:ApplicationNotes<=$work/place.xmp") ;;
    ifd0-iptc) fixture=("-IFD0:IPTC-NAA<=$work/place.iptc") ;;
    segments)  fixture=(-XMP-photoshop:City=Minato -XMP-iptcCore:Location=Shiba -IPTC:City=Minato) ;;
  esac
  exiftool -q -overwrite_original "${fixture[@]}" -Orientation#=6 "$photo"
  if [ $kind = segments ]; then { head -c 2 "$photo"; printf "$jumbf"; tail -c +3 "$photo"; } > "$work/c2pa.jpg"; mv "$work/c2pa.jpg" "$photo"; fi
  check "$kind fixture carries a place" test -n "$(located "$photo")"
  reply=$(curl -s -F session=photos -F command=postleaf -F id=alice -F pw=secret1 -F blank-title=Home \
    -F "leaf=@$photo;type=image/jpeg" "$cgi")
  check "$kind photo accepted" contains "$reply" "<title>File acceptance</title>"
  stored=$data/upload/$(printf 'img%04d' $n).jpg
  check "$kind photo stored without a place ($(located "$stored" | tr -s ' \n' ' '))" test -z "$(located "$stored")"
  check "$kind photo keeps its orientation" test "$(exiftool -n -s3 -Orientation "$stored")" = 6
done
printf '<html><script>alert(1)</script></html>' > "$work/page.jpg"
reply=$(curl -s -F session=photos -F command=postleaf -F id=alice -F pw=secret1 -F blank-title=Page \
  -F "leaf=@$work/page.jpg;type=image/jpeg" "$cgi")
check "a page posted as a JPEG is refused" contains "$reply" "Only JPEG photos (image/jpeg) of up to 64 MB can be posted."
check "the refused post stores nothing" test ! -e "$data/upload/$(printf 'img%04d' $((n + 1))).jpg"
check "the refused post leaves the counter" same_bytes "$data/upload/counter.txt" "$n"$'\r\n'

# Lock and temporary files, and every other name beginning with a dot, are private.
private() { test -e "$1" && refused "$2"; }  # private FILE URL
: > "$data/upload/.tmp-1234-e2e"; mkdir -p "$htdocs/.private"; : > "$htdocs/.private/a.html"
for name in .posts.lock .counter.txt.lock .tmp-1234-e2e; do
  check "upload/$name is not served" private "$data/upload/$name" "$base/upload/$name"
done
check "a dot written %2e is not served" private "$data/upload/.posts.lock" "$base/upload/%2eposts.lock"
check "a folder beginning with a dot is not served" private "$htdocs/.private/a.html" "$base/.private/a.html"

# A body over the server's limit is refused by the server before the program
# reads it; only the declared length is sent.
hostport=${base#http://}
over=$( (exec 3<>"/dev/tcp/${hostport%:*}/${hostport##*:}"; printf 'POST /cgi/orvalengate.exe HTTP/1.1\r\nHost: e2e\r\nContent-Type: application/x-www-form-urlencoded\r\nContent-Length: %d\r\nConnection: close\r\n\r\nsession=demo' $(((64 << 20) + 1)) >&3
  timeout 20 head -n 1 <&3 | tr -d '\r') 2>/dev/null)
check "body over the server's limit refused with 413 ($over)" contains "$over" " 413"

reply=$(curl -s -F session=demo -F command=postleaf -F id=alice -F pw=wrong "$cgi")
check "wrong password answered with the error page" contains "$reply" "ERROR: The password is wrong."

# The program answers nothing to a request with path info; what the server
# makes of that (an empty page, its own error) is its business.
reply=$(curl -s "$cgi/extra?showuser=alice&session=demo")
check "path info gets no page from the program" lacks "$reply" "Alice&nbsp;Liddell"

reply=$(curl -s -d "session=demo&command=changepw&id=alice&pw0=secret1&pw1=secret2&pw2=secret2" "$cgi")
check "url-encoded password change" contains "$reply" "<title>Registration acceptance</title>"
check "password changed in place" grep -q $'^pw=secret2\r$' "$data/members/alice.txt"

# A session that hashes passwords beside the clear one, sharing its members:
# alice's clear record is rewritten hashed at her first good check there.
{ cat "$data/sessions/demo.txt"; printf 'PasswordHash=argon2id\r\n'; } > "$data/sessions/hashed.txt"
reply=$(curl -s -d "session=hashed&command=changeprof1e&id=alice&pw=secret2" "$cgi")
check "hashing session takes the clear password" contains "$reply" 'name="pw" size="15" Value="secret2"'
check "record upgraded to a hash" grep -q '^pw=\$argon2id\$v=19\$m=19456,t=2,p=1\$' "$data/members/alice.txt"
reply=$(curl -s -d "session=demo&command=changeprof1e&id=alice&pw=secret2" "$cgi")
check "the hashed record serves the clear session too" contains "$reply" 'Value="secret2"'

if [ -z "${no_dumps:-}" ]; then
  dumps=$(find "$data/dump" -type f | wc -l)
  check "every post was dumped" test "$dumps" -ge 10
fi

summary
