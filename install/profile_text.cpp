// Profile-file parsing and writing in the manner of the system's profile API.
#include "install/profile_text.h"

#include <cstdio>
#include <vector>

#include "base/file_system.h"

namespace {

struct ProfileKey {
  std::string name;
  std::string value;
  bool has_value = false;  // a line without "=" (a comment, say) is kept as a bare name
};

struct ProfileSection {
  std::string name;  // empty for the lines before the first section
  std::vector<ProfileKey> keys;
};

bool IsBlank(char c) { return (c >= 0x09 && c <= 0x0D) || c == ' ' || c == 0x1A; }

std::string Trim(const std::string& text) {
  size_t begin = 0;
  size_t end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.substr(begin, end - begin);
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i])) return false;
  }
  return true;
}

std::vector<ProfileSection> Parse(const std::string& text) {
  std::vector<ProfileSection> sections(1);
  size_t next = 0;
  while (next < text.size()) {
    size_t end = next;
    while (end < text.size() && text[end] != '\n' && text[end] != '\r') ++end;
    const std::string line = Trim(text.substr(next, end - next));
    next = end;
    while (next < text.size() && (text[next] == '\n' || text[next] == '\r')) ++next;
    if (line.empty()) continue;

    if (line[0] == '[') {
      const size_t close = line.rfind(']');
      if (close != std::string::npos) {
        sections.push_back(ProfileSection{line.substr(1, close - 1), {}});
        continue;
      }
    }
    ProfileKey key;
    const size_t equals = line.find('=');
    if (equals == std::string::npos) {
      key.name = line;
    } else {
      key.name = Trim(line.substr(0, equals));
      key.value = Trim(line.substr(equals + 1));
      key.has_value = true;
    }
    // The system keeps a nameless line only after a named one.
    std::vector<ProfileKey>& keys = sections.back().keys;
    if (!key.name.empty() || keys.empty() || !keys.back().name.empty()) keys.push_back(key);
  }
  return sections;
}

std::string Serialize(const std::vector<ProfileSection>& sections) {
  std::string text;
  for (const ProfileSection& section : sections) {
    if (!section.name.empty()) text += "[" + section.name + "]\r\n";
    for (const ProfileKey& key : section.keys) {
      text += key.name;
      if (key.has_value) text += "=" + key.value;
      text += "\r\n";
    }
  }
  return text;
}

bool ReadWhole(const char* path, std::string* bytes) {
  FILE* file = OpenFile(path, "rb");
  if (file == nullptr) return false;
  char chunk[4096];
  size_t n;
  while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes->append(chunk, n);
  std::fclose(file);
  return true;
}

}  // namespace

bool FindProfileString(const std::string& text, const char* section, const char* key,
                       std::string* value) {
  for (const ProfileSection& s : Parse(text)) {
    if (!SameName(s.name, Trim(section))) continue;
    for (const ProfileKey& k : s.keys) {
      if (k.has_value && SameName(k.name, Trim(key))) {
        *value = k.value;
        return true;
      }
    }
  }
  return false;
}

bool ReadProfileFile(const char* section, const char* key, const char* path, std::string* value) {
  std::string text;
  return ReadWhole(path, &text) && FindProfileString(text, section, key, value);
}

bool ApplyProfileString(std::string* text, const char* section, const char* key,
                        const char* value) {
  std::vector<ProfileSection> sections = Parse(*text);
  const std::string section_name = Trim(section);
  const std::string key_name = Trim(key);
  std::string new_value = value;
  size_t leading = 0;
  while (leading < new_value.size() && IsBlank(new_value[leading])) ++leading;
  new_value.erase(0, leading);

  ProfileSection* target = nullptr;
  for (ProfileSection& s : sections) {
    // An empty name finds the lines before the first section, as the system's writer does.
    if (SameName(s.name, section_name)) {
      target = &s;
      break;
    }
  }
  if (target == nullptr) {
    sections.push_back(ProfileSection{section_name, {}});
    target = &sections.back();
  }
  ProfileKey* entry = nullptr;
  for (ProfileKey& k : target->keys) {
    if (SameName(k.name, key_name)) {
      entry = &k;
      break;
    }
  }
  if (entry == nullptr) {
    target->keys.push_back(ProfileKey{key_name, {}, false});
    entry = &target->keys.back();
  }
  if (entry->has_value && entry->value == new_value) return false;
  entry->value = new_value;
  entry->has_value = true;
  *text = Serialize(sections);
  return true;
}

bool WriteProfileFile(const char* section, const char* key, const char* value, const char* path) {
  if (section == nullptr || key == nullptr || value == nullptr || path == nullptr) return false;
  std::string text;
  const bool existed = ReadWhole(path, &text);
  if (!ApplyProfileString(&text, section, key, value) && existed) return true;
  FILE* file = OpenFile(path, "wb");
  if (file == nullptr) return false;
  const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  return std::fclose(file) == 0 && written;
}
