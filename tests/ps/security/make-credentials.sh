#!/bin/sh
# Makes the certificate authorities, identities and signed access documents of the security test in the
# directory given as the only argument, and the participant profiles that name them (Participants.xml).
# EC P-256 keys, SHA-256 signatures.
#   identity_ca     vouches for the identities every secured participant trusts
#   permissions_ca  signs the governance and permissions every secured participant trusts
#   rogue_ca        issued the rogue's identity; trusted by nobody but the rogue
#   forger_ca       signed the forger's copies of governance and permissions; trusted by nobody but the forger
set -eu

out=$1
data=$(cd "$(dirname "$0")" && pwd)
cd "$out"

key()
{
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1_key.pem" 2>/dev/null
}

# ca <name> <common name>
ca()
{
    key "$1"
    openssl req -new -x509 -sha256 -days 3650 -key "$1_key.pem" -out "$1_cert.pem" \
        -subj "/C=DE/O=Qara Nimb Test/CN=$2" \
        -addext "basicConstraints=critical,CA:TRUE" \
        -addext "keyUsage=critical,digitalSignature,keyCertSign,cRLSign"
}

# identity <name> <common name> <issuing ca>
identity()
{
    key "$1"
    openssl req -new -sha256 -key "$1_key.pem" -out "$1.csr" -subj "/C=DE/O=Qara Nimb Test/CN=$2"
    openssl x509 -req -sha256 -days 3650 -in "$1.csr" -CA "$3_cert.pem" -CAkey "$3_key.pem" \
        -set_serial "0x$(openssl rand -hex 8)" -extfile identity.ext -out "$1_cert.pem" 2>/dev/null
    rm "$1.csr"
}

# sign <document in the test data> <signed file> <signing ca>
sign()
{
    openssl smime -sign -text -in "$data/$1" -out "$2" -signer "$3_cert.pem" -inkey "$3_key.pem"
}

printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature,keyAgreement\n' >identity.ext

ca identity_ca "Identity CA"
ca permissions_ca "Permissions CA"
ca rogue_ca "Rogue CA"
ca forger_ca "Forger CA"

identity publisher "Authorised Publisher" identity_ca
identity subscriber "Authorised Subscriber" identity_ca
identity bystander "Bystander" identity_ca
identity forger "Forger" identity_ca
identity rogue "Rogue" rogue_ca

sign Governance.xml governance.p7s permissions_ca
sign Permissions.xml permissions.p7s permissions_ca
sign Governance.xml forged_governance.p7s forger_ca
sign Permissions.xml forged_permissions.p7s forger_ca

rm identity.ext
sed "s|@CREDENTIALS@|$(pwd)|g" "$data/Participants.xml.in" > Participants.xml
