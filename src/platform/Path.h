// kx::Path holds the path-string helpers the rest of the code was designed
// around, with the same answers as the desktop platform's string methods of
// the same names. They only look at text; nothing touches the disk.
//
// The rules, shortly:
//  - trailing slashes do not make a component ("/tmp/" is the folder "tmp");
//    the root "/" stays "/";
//  - an extension is the text after the last "." of the last component, when
//    that "." is not the component's first character (".dotfile" has none);
//  - appending joins with one "/" and gives a standardised result.
//
// Thread safety: pure functions.
#ifndef ZN_PLATFORM_PATH_H_
#define ZN_PLATFORM_PATH_H_

#include <string>
#include <string_view>
#include <vector>

namespace kx {

class Path {
 public:
  Path() = delete;

  // "/tmp/scratch.tiff" -> "scratch.tiff"; "/tmp/" -> "tmp"; "/" -> "/";
  // "" -> "".
  static std::string lastPathComponent(std::string_view path);
  // "/tmp/scratch.tiff" -> "/tmp"; "/tmp/" -> "/"; "/a" -> "/";
  // "a" -> ""; "/" -> "/".
  static std::string deletingLastPathComponent(std::string_view path);
  // "/tmp/scratch.tiff" -> "tiff"; ".dotfile" -> ""; "/a.b/c" -> "".
  static std::string pathExtension(std::string_view path);
  // "/tmp/scratch.tiff" -> "/tmp/scratch"; "/tmp/" -> "/tmp";
  // ".tiff" -> ".tiff".
  static std::string deletingPathExtension(std::string_view path);
  // "/tmp" + "scratch.tiff" -> "/tmp/scratch.tiff"; "" + "a" -> "a";
  // "/" + "a" -> "/a". The result is standardised.
  static std::string appendingPathComponent(std::string_view path, std::string_view component);
  // "/tmp/scratch.old" + "tiff" -> "/tmp/scratch.old.tiff"; "/tmp/" + "tiff"
  // -> "/tmp.tiff". No extension can be added to "" or "/", nor one that
  // starts with "/": the path then comes back standardised.
  static std::string appendingPathExtension(std::string_view path, std::string_view extension);
  // "/tmp/scratch" -> {"/", "tmp", "scratch"}; "tmp/scratch" -> {"tmp",
  // "scratch"}; a trailing slash adds a last component "/" as on the
  // platform ("/tmp/" -> {"/", "tmp", "/"}); "" -> {}.
  static std::vector<std::string> pathComponents(std::string_view path);
  // Collapses runs of "/" into one and drops a trailing "/" (the root stays
  // "/"). Nothing else is rewritten: "." and ".." stay as they are.
  static std::string standardizingPath(std::string_view path);
};

}  // namespace kx

#endif  // ZN_PLATFORM_PATH_H_
