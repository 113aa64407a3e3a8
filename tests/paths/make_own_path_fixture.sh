#!/bin/sh
# Lays out the folder the own-path tests run copies and links from. Runs on the Linux side
# before the tests, because Wine cannot make symbolic links (CreateSymbolicLinkW creates
# nothing); links made here are followed by Wine like any other path.
# usage: make_own_path_fixture.sh TEST_EXECUTABLE FOLDER
set -eu
test_executable=$1
folder=$2
long_folder="Long Folder Name With Blanks"

rm -rf "$folder"
mkdir -p "$folder/$long_folder"
cp "$test_executable" "$folder/$long_folder/paths_tests.exe"
ln -s "$long_folder/paths_tests.exe" "$folder/link to copy.exe"
ln -s "$long_folder" "$folder/linked folder"
ln -s "$(readlink -f "$test_executable")" "$folder/link to original.exe"
