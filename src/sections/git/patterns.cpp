// Path patterns, ignore rules and attributes (patterns.hpp), after git's wildmatch.c,
// dir.c, attr.c and convert.c.
#include "patterns.hpp"

#include "fs.hpp"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace sections::git {
namespace {

enum { kMatch = 0, kNoMatch = 1, kAbortAll = -1, kAbortToStarStar = -2 };

unsigned char fold(unsigned char c, bool ignore_case) {
    return ignore_case && c >= 'A' && c <= 'Z' ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool class_matches(std::string_view name, unsigned char c) {
    if (name == "alnum") return std::isalnum(c);
    if (name == "alpha") return std::isalpha(c);
    if (name == "blank") return c == ' ' || c == '\t';
    if (name == "cntrl") return std::iscntrl(c);
    if (name == "digit") return std::isdigit(c);
    if (name == "graph") return std::isgraph(c);
    if (name == "lower") return std::islower(c);
    if (name == "print") return std::isprint(c);
    if (name == "punct") return std::ispunct(c);
    if (name == "space") return std::isspace(c);
    if (name == "upper") return std::isupper(c);
    if (name == "xdigit") return std::isxdigit(c);
    return false;
}

// wildmatch.c's dowild over NUL-free views: `p`/`t` index the pattern and the text.
int dowild(std::string_view pat, std::size_t p, std::string_view text, std::size_t t, bool path_mode, bool icase) {
    auto pc = [&](std::size_t i) -> unsigned char { return i < pat.size() ? static_cast<unsigned char>(pat[i]) : 0; };
    auto tc = [&](std::size_t i) -> unsigned char { return i < text.size() ? static_cast<unsigned char>(text[i]) : 0; };
    for (; p < pat.size(); ++t, ++p) {
        unsigned char p_ch = pc(p);
        unsigned char t_ch = tc(t);
        if (t >= text.size() && p_ch != '*') return kAbortAll;
        t_ch = fold(t_ch, icase);
        p_ch = fold(p_ch, icase);
        switch (p_ch) {
            case '\\':
                p_ch = fold(pc(++p), icase);
                [[fallthrough]];
            default:
                if (t_ch != p_ch) return kNoMatch;
                continue;
            case '?':
                if (path_mode && t_ch == '/') return kNoMatch;
                continue;
            case '*': {
                bool match_slash;
                if (pc(++p) == '*') {
                    const std::size_t prev = p - 1;  // the first '*'
                    while (pc(++p) == '*') {
                    }
                    if ((prev == 0 || pc(prev - 1) == '/') &&
                        (p >= pat.size() || pc(p) == '/' || (pc(p) == '\\' && pc(p + 1) == '/'))) {
                        if (pc(p) == '/' && dowild(pat, p + 1, text, t, path_mode, icase) == kMatch) return kMatch;
                        match_slash = true;
                    } else {
                        match_slash = !path_mode;
                    }
                } else {
                    match_slash = !path_mode;
                }
                if (p >= pat.size()) {
                    if (!match_slash && text.find('/', t) != std::string_view::npos) return kNoMatch;
                    return kMatch;
                }
                if (!match_slash && pc(p) == '/') {
                    const std::size_t slash = text.find('/', t);
                    if (slash == std::string_view::npos) return kNoMatch;
                    t = slash;
                    break;  // the slash is consumed by the loop
                }
                for (;;) {
                    if (t >= text.size()) break;
                    const int matched = dowild(pat, p, text, t, path_mode, icase);
                    if (matched != kNoMatch) {
                        if (!match_slash || matched != kAbortToStarStar) return matched;
                    } else if (!match_slash && tc(t) == '/') {
                        return kAbortToStarStar;
                    }
                    ++t;
                }
                return kAbortAll;
            }
            case '[': {
                p_ch = pc(++p);
                if (p_ch == '^') p_ch = '!';
                const bool negated = p_ch == '!';
                if (negated) p_ch = pc(++p);
                unsigned char prev_ch = 0;
                bool matched = false;
                do {
                    if (!p_ch) return kAbortAll;
                    if (p_ch == '\\') {
                        p_ch = pc(++p);
                        if (!p_ch) return kAbortAll;
                        if (t_ch == fold(p_ch, icase)) matched = true;
                    } else if (p_ch == '-' && prev_ch && pc(p + 1) && pc(p + 1) != ']') {
                        p_ch = pc(++p);
                        if (p_ch == '\\') {
                            p_ch = pc(++p);
                            if (!p_ch) return kAbortAll;
                        }
                        if (t_ch <= p_ch && t_ch >= prev_ch) {
                            matched = true;
                        } else if (icase && std::islower(t_ch)) {
                            const unsigned char upper = static_cast<unsigned char>(std::toupper(t_ch));
                            if (upper <= p_ch && upper >= prev_ch) matched = true;
                        }
                        p_ch = 0;
                    } else if (p_ch == '[' && pc(p + 1) == ':') {
                        const std::size_t s = p + 2;
                        std::size_t q = s;
                        while (pc(q) && pc(q) != ']') ++q;
                        if (!pc(q)) return kAbortAll;
                        if (q == s || pc(q - 1) != ':') {
                            // No ":]": a plain '[' in the set.
                            if (t_ch == '[') matched = true;
                            p_ch = '[';
                        } else {
                            const std::string_view name = pat.substr(s, q - 1 - s);
                            static constexpr const char* kClasses[] = {"alnum", "alpha", "blank", "cntrl",
                                                                       "digit", "graph", "lower", "print",
                                                                       "punct", "space", "upper", "xdigit"};
                            if (std::find(std::begin(kClasses), std::end(kClasses), name) == std::end(kClasses)) {
                                return kAbortAll;
                            }
                            if (class_matches(name, t_ch) || (icase && name == "upper" && std::islower(t_ch))) {
                                matched = true;
                            }
                            p = q;
                            p_ch = 0;
                        }
                    } else if (t_ch == fold(p_ch, icase)) {
                        matched = true;
                    }
                    prev_ch = p_ch;
                    p_ch = pc(++p);
                } while (p_ch != ']');
                if (matched == negated || (path_mode && t_ch == '/')) return kNoMatch;
                continue;
            }
        }
    }
    return t < text.size() ? kNoMatch : kMatch;
}

// trim_trailing_spaces: unescaped trailing blanks go.
void trim_trailing_spaces(std::string& s) {
    std::size_t last_space = std::string::npos;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == ' ') {
            if (last_space == std::string::npos) last_space = i;
        } else if (s[i] == '\\') {
            if (++i >= s.size()) return;
            last_space = std::string::npos;
        } else {
            last_space = std::string::npos;
        }
    }
    if (last_space != std::string::npos) s.resize(last_space);
}

// parse_path_pattern: "!" negates, a trailing "/" means folders only, a pattern
// without any other "/" matches names at any depth, a leading "/" anchors.
bool parse_pattern(std::string text, const std::string& base, PathPattern& out) {
    out = PathPattern{};
    out.base = base;
    if (!text.empty() && text[0] == '!') {
        out.negative = true;
        text.erase(0, 1);
    }
    if (!text.empty() && text.back() == '/') {
        out.only_dirs = true;
        text.pop_back();
    }
    if (text.empty()) return false;
    out.basename = text.find('/') == std::string::npos;
    if (!out.basename && text[0] == '/') text.erase(0, 1);
    out.text = std::move(text);
    return true;
}

std::vector<std::string_view> split_lines(std::string_view text) {
    if (text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0) text.remove_prefix(3);
    std::vector<std::string_view> lines;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        lines.push_back(text.substr(0, nl));
        if (nl == std::string_view::npos) break;
        text.remove_prefix(nl + 1);
    }
    return lines;
}

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

std::string join(const std::string& root, const std::string& rel) {
    if (rel.empty()) return root;
    if (root.empty()) return rel;
    return root.back() == '/' ? root + rel : root + "/" + rel;
}

bool read_optional(const std::string& path, std::string& out) {
    if (path.empty()) return false;
    auto st = fs::lstat(path);
    if (!st || st->kind == fs::Kind::Directory) return false;
    return fs::read_file(path, out);
}

// A matching ignore list decides with its last matching line: 1 ignored, 0 not
// (re-included by "!"), -1 no line matches.
int decide(const std::vector<PathPattern>& list, const std::string& path, bool is_dir, bool icase) {
    for (auto it = list.rbegin(); it != list.rend(); ++it) {
        if (it->matches(path, is_dir, icase)) return it->negative ? 0 : 1;
    }
    return -1;
}

}  // namespace

bool wildmatch(std::string_view pattern, std::string_view text, bool path_mode, bool ignore_case) {
    return dowild(pattern, 0, text, 0, path_mode, ignore_case) == kMatch;
}

bool PathPattern::matches(std::string_view path, bool is_dir, bool ignore_case) const {
    if (only_dirs && !is_dir) return false;
    if (basename) {
        const std::size_t slash = path.rfind('/');
        const std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
        return wildmatch(text, name, false, ignore_case);
    }
    std::string_view rest = path;
    if (!base.empty()) {
        if (path.size() < base.size() + 1 || path[base.size()] != '/') return false;
        const std::string_view head = path.substr(0, base.size());
        if (ignore_case) {
            for (std::size_t i = 0; i < head.size(); ++i) {
                if (fold(static_cast<unsigned char>(head[i]), true) != fold(static_cast<unsigned char>(base[i]), true)) {
                    return false;
                }
            }
        } else if (head != base) {
            return false;
        }
        rest = path.substr(base.size() + 1);
    }
    return wildmatch(text, rest, true, ignore_case);
}

std::vector<PathPattern> parse_ignore(std::string_view text, const std::string& base) {
    std::vector<PathPattern> out;
    for (std::string_view raw : split_lines(text)) {
        if (raw.empty() || raw[0] == '#') continue;
        std::string line(raw);
        trim_trailing_spaces(line);
        PathPattern pattern;
        if (parse_pattern(std::move(line), base, pattern)) out.push_back(std::move(pattern));
    }
    return out;
}

IgnoreRules::IgnoreRules(std::string root, const std::string& git_dir, const std::string& excludes_file,
                         bool ignore_case)
    : root_(std::move(root)), ignore_case_(ignore_case) {
    std::string text;
    if (read_optional(git_dir + "/info/exclude", text)) global_.push_back(parse_ignore(text, ""));
    if (read_optional(excludes_file, text)) global_.push_back(parse_ignore(text, ""));
}

const std::vector<PathPattern>& IgnoreRules::folder(const std::string& dir) {
    auto it = folders_.find(dir);
    if (it != folders_.end()) return it->second;
    std::string text;
    std::vector<PathPattern> list;
    if (read_optional(join(root_, join(dir, ".gitignore")), text)) list = parse_ignore(text, dir);
    return folders_.emplace(dir, std::move(list)).first->second;
}

const std::vector<const std::vector<PathPattern>*>& IgnoreRules::chain(const std::string& dir) {
    if (last_chain_ && dir == last_dir_) return *last_chain_;
    auto it = chains_.find(dir);
    if (it == chains_.end()) {
        std::vector<const std::vector<PathPattern>*> lists;
        std::string d = dir;
        for (;;) {
            const auto& list = folder(d);
            if (!list.empty()) lists.push_back(&list);
            if (d.empty()) break;
            d = parent_of(d);
        }
        for (const auto& list : global_) {
            if (!list.empty()) lists.push_back(&list);
        }
        it = chains_.emplace(dir, std::move(lists)).first;
    }
    last_dir_ = dir;
    last_chain_ = &it->second;
    return it->second;
}

bool IgnoreRules::ignored_here(const std::string& path, bool is_dir) {
    const std::size_t slash = path.rfind('/');
    const auto& lists = chain(slash == std::string::npos ? std::string() : path.substr(0, slash));
    for (const auto* list : lists) {
        const int d = decide(*list, path, is_dir, ignore_case_);
        if (d >= 0) return d == 1;
    }
    return false;
}

bool IgnoreRules::ignored(const std::string& path, bool is_dir) {
    for (std::size_t slash = path.find('/'); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        if (ignored_here(path.substr(0, slash), true)) return true;
    }
    return ignored_here(path, is_dir);
}

Attributes::Attributes(std::string root, const std::string& git_dir, const std::string& attributes_file,
                       bool ignore_case, ReadFile folder_file)
    : root_(std::move(root)), ignore_case_(ignore_case), folder_file_(std::move(folder_file)) {
    macros_["binary"] = {{"diff", {AttrValue::Unset, ""}}, {"merge", {AttrValue::Unset, ""}},
                         {"text", {AttrValue::Unset, ""}}};
    std::string text;
    if (read_optional(attributes_file, text)) global_ = parse(text, "", true);
    // The top folder's file may define macros used by the others: read it first.
    folder("");
    if (read_optional(git_dir + "/info/attributes", text)) info_ = parse(text, "", true);
}

std::vector<Attributes::Line> Attributes::parse(std::string_view text, const std::string& base, bool macros_allowed) {
    seen_.append(text);
    seen_.push_back('\n');
    std::vector<Line> out;
    static constexpr std::string_view kBlank = " \t\r\n";
    for (std::string_view line : split_lines(text)) {
        const std::size_t start = line.find_first_not_of(kBlank);
        if (start == std::string_view::npos || line[start] == '#') continue;
        line.remove_prefix(start);
        const std::size_t end = std::min(line.find_first_of(kBlank), line.size());
        std::string pattern(line.substr(0, end));
        line.remove_prefix(end);
        std::vector<std::pair<std::string, AttrValue>> attrs;
        while (true) {
            const std::size_t s = line.find_first_not_of(kBlank);
            if (s == std::string_view::npos) break;
            line.remove_prefix(s);
            const std::size_t e = std::min(line.find_first_of(kBlank), line.size());
            std::string_view token = line.substr(0, e);
            line.remove_prefix(e);
            AttrValue value{AttrValue::Set, ""};
            if (token[0] == '-' || token[0] == '!') {
                value.kind = token[0] == '-' ? AttrValue::Unset : AttrValue::Unspecified;
                token.remove_prefix(1);
            } else if (const std::size_t eq = token.find('='); eq != std::string_view::npos) {
                value = {AttrValue::Value, std::string(token.substr(eq + 1))};
                token = token.substr(0, eq);
            }
            if (!token.empty()) attrs.emplace_back(std::string(token), std::move(value));
        }
        if (pattern.rfind("[attr]", 0) == 0) {
            if (macros_allowed) macros_[pattern.substr(6)] = std::move(attrs);
            continue;
        }
        Line parsed;
        // Negative patterns mean nothing in attribute files: git ignores those lines.
        if (!parse_pattern(std::move(pattern), base, parsed.pattern) || parsed.pattern.negative) continue;
        parsed.attrs = std::move(attrs);
        out.push_back(std::move(parsed));
    }
    return out;
}

const std::vector<Attributes::Line>& Attributes::folder(const std::string& dir) {
    auto it = folders_.find(dir);
    if (it != folders_.end()) return it->second;
    std::string text;
    std::vector<Line> lines;
    const bool found = folder_file_ ? folder_file_(join(dir, ".gitattributes"), text)
                                    : read_optional(join(root_, join(dir, ".gitattributes")), text);
    if (found) lines = parse(text, dir, dir.empty());
    return folders_.emplace(dir, std::move(lines)).first->second;
}

std::vector<AttrValue> Attributes::lookup(const std::string& path, const std::vector<std::string>& names) {
    std::vector<AttrValue> out(names.size());
    std::vector<bool> decided(names.size(), false);
    std::size_t left = names.size();
    auto assign = [&](const std::string& name, const AttrValue& value, auto& self, int depth) -> void {
        for (std::size_t i = 0; i < names.size(); ++i) {
            if (!decided[i] && names[i] == name) {
                out[i] = value;
                decided[i] = true;
                --left;
            }
        }
        if (value.kind != AttrValue::Set || depth > 8) return;
        auto macro = macros_.find(name);
        if (macro == macros_.end()) return;
        for (auto a = macro->second.rbegin(); a != macro->second.rend(); ++a) self(a->first, a->second, self, depth + 1);
    };
    auto scan = [&](const std::vector<Line>& lines) {
        for (auto line = lines.rbegin(); line != lines.rend() && left; ++line) {
            if (!line->pattern.matches(path, false, ignore_case_)) continue;
            for (auto a = line->attrs.rbegin(); a != line->attrs.rend(); ++a) assign(a->first, a->second, assign, 0);
        }
    };
    scan(info_);
    std::string dir = parent_of(path);
    std::vector<std::string> dirs;
    for (;;) {
        dirs.push_back(dir);
        if (dir.empty()) break;
        dir = parent_of(dir);
    }
    for (const auto& d : dirs) {
        if (!left) break;
        scan(folder(d));
    }
    if (left) scan(global_);
    return out;
}

bool Attributes::mentions(std::string_view attribute) const { return seen_.find(attribute) != std::string::npos; }

Crlf crlf_action(const AttrValue& text, const AttrValue& crlf, const AttrValue& eol, std::string_view autocrlf) {
    // git_path_check_crlf on "text", then on the older "crlf".
    auto check = [](const AttrValue& v, bool& decided) {
        decided = true;
        switch (v.kind) {
            case AttrValue::Set: return Crlf::Text;
            case AttrValue::Unset: return Crlf::Binary;
            case AttrValue::Value:
                if (v.value == "input") return Crlf::Text;
                if (v.value == "auto") return Crlf::Auto;
                break;
            default: break;
        }
        decided = false;
        return Crlf::Binary;
    };
    bool decided = false;
    Crlf action = check(text, decided);
    if (!decided) action = check(crlf, decided);
    if (decided && action == Crlf::Binary) return Crlf::Binary;
    // An eol attribute makes a file text (auto stays auto).
    if (eol.kind == AttrValue::Value && (eol.value == "lf" || eol.value == "crlf")) {
        return decided && action == Crlf::Auto ? Crlf::Auto : Crlf::Text;
    }
    if (decided) return action;
    if (autocrlf == "true" || autocrlf == "input") return Crlf::Auto;
    return Crlf::Binary;
}

bool looks_binary(std::string_view data) {
    std::size_t lonecr = 0, nul = 0, printable = 0, nonprintable = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(data[i]);
        if (c == '\r') {
            if (i + 1 < data.size() && data[i + 1] == '\n') {
                ++i;
            } else {
                ++lonecr;
            }
            continue;
        }
        if (c == '\n') continue;
        if (c == 127) {
            ++nonprintable;
        } else if (c < 32) {
            switch (c) {
                case '\b': case '\t': case '\033': case '\014': ++printable; break;
                case 0: ++nul; ++nonprintable; break;
                default: ++nonprintable;
            }
        } else {
            ++printable;
        }
    }
    // A file ending in ^Z (DOS end of file) does not count that one.
    if (!data.empty() && data.back() == '\032' && nonprintable) --nonprintable;
    return lonecr || nul || (printable >> 7) < nonprintable;
}

void convert_to_git(Crlf action, std::string& data, const std::function<bool()>& index_has_cr) {
    if (action == Crlf::Binary) return;
    if (data.find("\r\n") == std::string::npos) return;
    if (action == Crlf::Auto && (looks_binary(data) || index_has_cr())) return;
    std::size_t out = 0;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '\r' && i + 1 < data.size() && data[i + 1] == '\n') continue;
        data[out++] = data[i];
    }
    data.resize(out);
}

WorktreeEol worktree_eol(const AttrValue& text, const AttrValue& crlf, const AttrValue& eol,
                         std::string_view autocrlf, std::string_view core_eol) {
    // convert.c's convert_attrs and output_eol: the text attribute (else crlf) picks
    // text, binary or auto; an eol attribute pins the line ending; core.autocrlf, then
    // core.eol, decide the rest.
    enum { Undefined, Binary, Text, TextInput, TextCrlf, Auto, AutoInput, AutoCrlf } action = Undefined;
    auto from = [](const AttrValue& v) {
        switch (v.kind) {
            case AttrValue::Set: return Text;
            case AttrValue::Unset: return Binary;
            case AttrValue::Value:
                if (v.value == "input") return TextInput;
                if (v.value == "auto") return Auto;
                break;
            default: break;
        }
        return Undefined;
    };
    action = from(text);
    if (action == Undefined) action = from(crlf);
    if (action != Binary && eol.kind == AttrValue::Value) {
        if (eol.value == "lf") {
            action = action == Auto ? AutoInput : TextInput;
        } else if (eol.value == "crlf") {
            action = action == Auto ? AutoCrlf : TextCrlf;
        }
    }
    bool text_is_crlf;
    if (autocrlf == "true") {
        text_is_crlf = true;
    } else if (autocrlf == "input") {
        text_is_crlf = false;
    } else if (core_eol == "crlf") {
        text_is_crlf = true;
    } else {
        text_is_crlf = !fs::kPosix && core_eol != "lf";
    }
    if (action == Text) action = text_is_crlf ? TextCrlf : TextInput;
    if (action == Auto) action = text_is_crlf ? AutoCrlf : AutoInput;
    if (action == Undefined) action = autocrlf == "true" ? AutoCrlf : Binary;
    switch (action) {
        case TextCrlf: return WorktreeEol::Crlf;
        case AutoCrlf: return WorktreeEol::AutoCrlf;
        default: return WorktreeEol::Keep;
    }
}

bool convert_to_worktree(WorktreeEol eol, std::string& data) {
    if (eol == WorktreeEol::Keep) return false;
    // crlf_to_worktree: only a "naked" LF is converted; under auto, not at all in a
    // file with a CR already or one that looks binary.
    std::size_t lone_lf = 0;
    bool has_cr = false;
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '\r') {
            has_cr = true;
        } else if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')) {
            ++lone_lf;
        }
    }
    if (lone_lf == 0) return false;
    if (eol == WorktreeEol::AutoCrlf && (has_cr || looks_binary(data))) return false;
    std::string out;
    out.reserve(data.size() + lone_lf);
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (data[i] == '\n' && (i == 0 || data[i - 1] != '\r')) out.push_back('\r');
        out.push_back(data[i]);
    }
    data = std::move(out);
    return true;
}

}  // namespace sections::git
