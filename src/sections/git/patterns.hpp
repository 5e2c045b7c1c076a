// git's path patterns: wildmatch, the ignore rules (.gitignore of each folder,
// .git/info/exclude, core.excludesFile) and the attributes (.gitattributes of each
// folder, .git/info/attributes, core.attributesFile), with what the attributes mean
// for line endings when a file is hashed (text, eol, crlf; core.autocrlf).
//
// Paths are relative to the working tree, '/' separated, without a trailing slash.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace sections::git {

// git's wildmatch(): `path_mode` (WM_PATHNAME) keeps '*' and '?' from matching '/';
// "**" between slashes matches any number of folders.
bool wildmatch(std::string_view pattern, std::string_view text, bool path_mode, bool ignore_case = false);

struct PathPattern {
    std::string text;      // without '!', the trailing '/' and a leading '/'
    bool negative = false;
    bool only_dirs = false;
    bool basename = false;  // no '/' in it: matches the last component at any depth
    // The pattern's own folder ("" at the top): patterns with a '/' match below it.
    std::string base;
    bool matches(std::string_view path, bool is_dir, bool ignore_case) const;
};

// The lines of one ignore file, in order; the last that matches decides.
std::vector<PathPattern> parse_ignore(std::string_view text, const std::string& base);

// Reads a file of the working tree or the repository: false when there is none.
using ReadFile = std::function<bool(const std::string& path, std::string& out)>;

class IgnoreRules {
public:
    // `root`: the working tree; `git_dir`: its repository; `excludes_file`: the
    // expanded core.excludesFile (or empty).
    IgnoreRules(std::string root, const std::string& git_dir, const std::string& excludes_file, bool ignore_case);
    // Whether `path` (a folder when `is_dir`) is ignored, its parent folders
    // being known not to be (the walk does not enter ignored folders).
    bool ignored_here(const std::string& path, bool is_dir);
    // The same for any path: ignored when one of its folders is.
    bool ignored(const std::string& path, bool is_dir);

private:
    const std::vector<PathPattern>& folder(const std::string& dir);
    // The lists that apply in `dir`, in the order they decide: its .gitignore, its
    // parents' up to the top, info/exclude, core.excludesFile (empty ones left out).
    const std::vector<const std::vector<PathPattern>*>& chain(const std::string& dir);
    std::string root_;
    bool ignore_case_;
    std::vector<std::vector<PathPattern>> global_;  // info/exclude first, then core.excludesFile
    std::map<std::string, std::vector<PathPattern>> folders_;
    std::map<std::string, std::vector<const std::vector<PathPattern>*>> chains_;
    std::string last_dir_ = "\x01";
    const std::vector<const std::vector<PathPattern>*>* last_chain_ = nullptr;
};

// An attribute's state for one path.
struct AttrValue {
    enum Kind { Unspecified, Set, Unset, Value } kind = Unspecified;
    std::string value;
};

class Attributes {
public:
    // `folder_file`, when given, reads each folder's .gitattributes (its path relative
    // to the working tree) instead of the working tree: a checkout takes them from the
    // tree it writes, as git does.
    Attributes(std::string root, const std::string& git_dir, const std::string& attributes_file, bool ignore_case,
               ReadFile folder_file = {});
    // The value of each attribute in `names` for `path`.
    std::vector<AttrValue> lookup(const std::string& path, const std::vector<std::string>& names);
    // Whether any attribute file of the tree read so far names `attribute` (for the
    // attributes whose effect on hashing is not done here: filter, ident, ...).
    bool mentions(std::string_view attribute) const;
    // Reads the attribute file of the folder `dir` ("" at the top) now.
    void load(const std::string& dir) { folder(dir); }

private:
    struct Line {
        PathPattern pattern;
        std::vector<std::pair<std::string, AttrValue>> attrs;
    };
    const std::vector<Line>& folder(const std::string& dir);
    std::vector<Line> parse(std::string_view text, const std::string& base, bool macros_allowed);
    std::string root_;
    bool ignore_case_;
    ReadFile folder_file_;
    std::map<std::string, std::vector<std::pair<std::string, AttrValue>>> macros_;
    std::vector<Line> info_, global_;
    std::map<std::string, std::vector<Line>> folders_;
    std::string seen_;  // every attribute file's text, for mentions()
};

// What git does to line endings when a file goes into the repository.
enum class Crlf { Binary, Text, Auto };

// The action for a path from its text, crlf and eol attributes and core.autocrlf
// ("true", "input", anything else false).
Crlf crlf_action(const AttrValue& text, const AttrValue& crlf, const AttrValue& eol, std::string_view autocrlf);

// git's text/binary guess for text=auto: a lone CR, a NUL or too many control
// characters make a file binary.
bool looks_binary(std::string_view data);

// Converts CRLF to LF as git does when it hashes or stores `data` under `action`;
// for Auto, not when the file is binary or `index_has_cr()` (the blob the index holds
// for the path has a CR: git keeps such files as they are).
void convert_to_git(Crlf action, std::string& data, const std::function<bool()>& index_has_cr);

// What git does to line endings when it writes a file into the working tree: nothing,
// LF to CRLF, or LF to CRLF unless the blob looks binary or has a CR already (auto).
enum class WorktreeEol { Keep, Crlf, AutoCrlf };

// From the text, crlf and eol attributes, core.autocrlf and core.eol ("lf", "crlf",
// anything else native: CRLF on Windows).
WorktreeEol worktree_eol(const AttrValue& text, const AttrValue& crlf, const AttrValue& eol,
                         std::string_view autocrlf, std::string_view core_eol);

// `data` as git writes it under `eol`: every LF without a CR before it becomes CRLF.
// False (data unchanged) when there is nothing to convert.
bool convert_to_worktree(WorktreeEol eol, std::string& data);

}  // namespace sections::git
