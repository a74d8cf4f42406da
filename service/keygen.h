// keygen: makes the key pair packages are signed with, as two files in a folder.
#pragma once

#include <string>

struct KeygenResult {
  std::string key_path;     // DIR/package-signing.key, mode 0600: the private key
  std::string public_path;  // DIR/package-signing.pub: the public key, for installer builds
  std::string public_text;  // its one line, without the line feed
};

// Generates a P-256 key pair and writes both files into `dir` (created when missing). Never
// replaces an existing key or public file: false with a reason then, and on any failure, with
// nothing left behind that this call created.
bool WriteNewKeyPair(const std::string& dir, KeygenResult* result, std::string* error);
