// Lexical path helpers and the search for files in a directory and its
// ancestors, shared by the executable lookup and the runner-script lookups.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ferrolune {

// "dir/name"; no separator is doubled, and an empty dir gives `name` alone.
std::string join_path(std::string_view dir, std::string_view name);

// Components as a path library sees them without touching the disk:
// repeated separators and inner "." dropped, a leading "./" and ".." kept.
std::vector<std::string_view> lexical_components(std::string_view path, bool& absolute);

// The last component after any trailing separators; nothing when that is
// empty, "." or "..".
std::optional<std::string_view> file_name(std::string_view path);

// A file name's text before its last dot, and after it; a name whose only
// dot is its first character has no extension.
std::string_view file_stem(std::string_view name);
std::optional<std::string_view> file_extension(std::string_view name);

// True when something exists at `path` (a file or a directory, links followed).
bool path_exists(const std::string& path);

// True when writing `output` would write over the file `input` names: the
// same text, the same path once made absolute (repeated separators and "."
// dropped), or two names of one existing file (a symbolic or hard link,
// another spelling through "..") by device and inode. Writers that read
// `input` check this before they create or truncate anything.
bool names_same_file(std::string_view input, std::string_view output);

// Names a directory inside a source checkout, where the runner scripts are
// searched during development.
inline constexpr const char* kSourceDirVariable = "FERROLUNE_SOURCE_DIR";

// The variable's value when it is set to valid UTF-8 text.
std::optional<std::string> source_dir_from_env();

// The first `dir/relative` that exists (a file or a directory, links
// followed), for `start` and its ancestors, nearest first, at most `limit`
// directories. Purely lexical: a relative start ends with the working
// directory.
std::optional<std::string> find_upwards(std::string_view start, std::string_view relative, std::size_t limit);

}  // namespace ferrolune
