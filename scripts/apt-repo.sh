#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-2.0-or-later
# Publishes the .debs of scripts/package.sh into a signed apt repository, laid
# out with Debian's apt-ftparchive, that a release copies to a web folder:
#   REPO/pool/main/<the .debs of every version published so far>
#   REPO/dists/stable/main/binary-{amd64,arm64}/Packages(.gz)
#   REPO/dists/stable/{Release,InRelease,Release.gpg}, signed with KEY
#   REPO/brivora-signature-guard.gpg, KEY's public key for apt's Signed-By
# The .debs are added beside those already there, so apt sees a newer version
# as an upgrade; the indexes and signatures are made again each time.
#
#   scripts/apt-repo.sh --key KEY [--from DIR] [--repo DIR]
#       --key   the gpg key that signs (its id or fingerprint; GNUPGHOME
#               chooses the keyring)
#       --from  the folder of the .debs (default: dist/)
#       --repo  the repository (default: dist/apt/)
set -euo pipefail
REPO_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
PACKAGE=brivora-signature-guard
ARCHES=(amd64 arm64)
SUITE=stable

key=""
from=$REPO_DIR/dist
repo=$REPO_DIR/dist/apt
while [[ $# -gt 0 ]]; do
  case $1 in
    --key) key=$2; shift 2 ;;
    --from) from=$2; shift 2 ;;
    --repo) repo=$2; shift 2 ;;
    -h|--help) sed -n '3,/^set -euo/p' "$0" | sed '$d; s/^# \{0,1\}//'; exit 0 ;;
    *) echo "usage: $0 --key KEY [--from DIR] [--repo DIR]" >&2; exit 2 ;;
  esac
done
log() { printf '[apt-repo] %s\n' "$*" >&2; }
die() { log "error: $*"; exit 1; }
[[ -n $key ]] || die "no --key: the repository is signed with a key you give"
command -v apt-ftparchive >/dev/null || die "apt-ftparchive is missing (apt-get install apt-utils)"
gpg --batch --list-secret-keys "$key" >/dev/null 2>&1 || die "no secret key $key in gpg's keyring"
debs=("$from/${PACKAGE}"_*.deb)
[[ -f ${debs[0]} ]] || die "no $PACKAGE .deb in $from"

mkdir -p "$repo/pool/main"
cp "${debs[@]}" "$repo/pool/main/"
cd "$repo"
repo=$(pwd)
rm -rf "dists/$SUITE"
for arch in "${ARCHES[@]}"; do
  mkdir -p "dists/$SUITE/main/binary-$arch"
  apt-ftparchive --arch "$arch" packages pool >"dists/$SUITE/main/binary-$arch/Packages"
  gzip -9n <"dists/$SUITE/main/binary-$arch/Packages" >"dists/$SUITE/main/binary-$arch/Packages.gz"
done
apt-ftparchive -o APT::FTPArchive::Release::Origin=Brivora -o APT::FTPArchive::Release::Label=$PACKAGE \
  -o APT::FTPArchive::Release::Suite=$SUITE -o APT::FTPArchive::Release::Codename=$SUITE \
  -o "APT::FTPArchive::Release::Architectures=${ARCHES[*]}" -o APT::FTPArchive::Release::Components=main \
  release "dists/$SUITE" >"$repo/Release.new"
mv "$repo/Release.new" "dists/$SUITE/Release"
gpg --batch --yes --local-user "$key" --clearsign -o "dists/$SUITE/InRelease" "dists/$SUITE/Release"
gpg --batch --yes --local-user "$key" --armor --detach-sign -o "dists/$SUITE/Release.gpg" "dists/$SUITE/Release"
gpg --batch --yes --export "$key" >"$PACKAGE.gpg"
log "repository in $repo: $(cd pool/main && ls | tr '\n' ' ')"
