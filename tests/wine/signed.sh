# A signed self-extracting file under Wine: sourced by run.sh inside run_arch
# (see codepage.sh). The finished file is signed last with a certificate made
# here; the signature verifies, and the stub, which stops at the archive's
# end marker ahead of the certificate table, extracts it as before.
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$S/sign-key.pem" -out "$S/sign-cert.pem" \
  -days 2 -subj /CN=Kasumiro-Test >"$S/sign.log" 2>&1
sfx "$S/unsigned.exe" "$S/tree.lzh" --title "$title" --dir "$W\\signed"
begin "$arch: a signed file verifies and extracts as it went in"
osslsigncode sign -certs "$S/sign-cert.pem" -key "$S/sign-key.pem" -n Kasumiro \
  -in "$S/unsigned.exe" -out "$L/signed.exe" >>"$S/sign.log" 2>&1 || bad "osslsigncode sign failed"
osslsigncode verify -CAfile "$S/sign-cert.pem" -in "$L/signed.exe" >>"$S/sign.log" 2>&1 ||
  bad "the signature does not verify"
drive signed <<EOF2
start $W\\signed.exe
wait notice class=#32770 owner=none caption='$title'
click notice 6
gone notice
wait main class=#32770 owner=none caption='$title'
click main 1
exit 1
EOF2
for f in readme.txt 表.txt sub/data.bin empty.txt big.txt; do
  same_file "$S/tree/$f" "$L/signed/$f"
done
finish
