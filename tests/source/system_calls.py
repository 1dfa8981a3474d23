#!/usr/bin/python3
"""Every operating-system call of the program goes through src/platform/, so
that a port supplies that folder alone. This check fails when a source file
anywhere else in src/ calls one of the file and folder functions of the
system (or includes their headers) directly.

    system_calls.py SRC_FOLDER      check the tree
    system_calls.py --self-test     check the checker
"""
import os
import re
import sys

# File locks, positioned and plain reads and writes, syncing, renaming and
# deleting, folder listing, link and status checks, temporary files,
# permissions and owners.
FORBIDDEN = [
    "open", "openat", "creat", "close", "read", "write", "pread", "pwrite", "pread64",
    "pwrite64", "readv", "writev", "lseek", "fsync", "fdatasync", "sync_file_range", "flock",
    "fcntl", "lockf", "rename", "renameat", "renameat2", "unlink", "unlinkat", "rmdir",
    "mkdir", "mkdirat", "opendir", "fdopendir", "readdir", "closedir", "scandir", "stat",
    "lstat", "fstat", "fstatat", "statx", "access", "faccessat", "mkstemp", "mkostemp",
    "mkstemps", "mkdtemp", "realpath", "readlink", "symlink", "link", "chmod", "fchmod",
    "chown", "fchown", "lchown", "umask", "truncate", "ftruncate", "copy_file_range",
    "sendfile", "fdopen", "dup", "dup2", "dup3",
]
FORBIDDEN_HEADERS = ["fcntl.h", "sys/file.h", "sys/stat.h", "dirent.h"]

NAMES = "|".join(sorted(FORBIDDEN, key=len, reverse=True))
# A call: the bare name, or one qualified by the global or std namespace. A
# member call (".close(", "->read("), a call qualified by another namespace
# or class ("QFile::open(", "platform::DeleteFile(") and a longer name
# ("gsf_output_close(", "sqlite3_open(") are not the system's, nor is a
# call without arguments (a widget's own "close()"): each of these takes some.
CALL = re.compile(r"(?:(?<![\w.>:])|(?<![\w:])::|(?<![\w:])std::)(" + NAMES +
                  r")\s*\((?!\s*\))")
INCLUDE = re.compile(r'^\s*#\s*include\s*[<"](' + "|".join(map(re.escape, FORBIDDEN_HEADERS))
                     + r')[>"]', re.M)
# A declaration or definition whose name merely is one of these ("int open(",
# "bool Widget::close(") is a function of the program's own.
DECLARED = re.compile(r"(?:\b(?:void|bool|int|auto|char|long|size_t|ssize_t|std::string)\s*[&*]?\s*)$")


def strip(text):
    """Comments, string and character literals blanked, lines kept."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(\s]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def findings(text):
    """(line, what) for every direct system call or header in `text`."""
    found = []
    for m in INCLUDE.finditer(text):
        found.append((text.count("\n", 0, m.start()) + 1, "#include <%s>" % m.group(1)))
    code = strip(text)
    for m in CALL.finditer(code):
        line_start = code.rfind("\n", 0, m.start()) + 1
        if DECLARED.search(code[line_start:m.start()]):
            continue
        found.append((code.count("\n", 0, m.start()) + 1, m.group(1) + "("))
    return sorted(found)


def check_tree(src):
    problems = []
    for folder, dirs, files in os.walk(src):
        dirs.sort()
        rel = os.path.relpath(folder, src)
        if rel == "platform" or rel.startswith("platform" + os.sep):
            continue
        for name in sorted(files):
            if not name.endswith((".cpp", ".h", ".hpp", ".cc")):
                continue
            path = os.path.join(folder, name)
            with open(path, encoding="utf-8", errors="replace") as f:
                for line, what in findings(f.read()):
                    problems.append("%s:%d: %s outside src/platform/" %
                                    (os.path.relpath(path, src), line, what))
    return problems


SELF_TEST_CAUGHT = [
    "int fd = ::open(path.c_str(), O_RDONLY);",
    "if (fsync(fd) != 0) return;",
    "  ::pwrite(fd, data, size, at);",
    "std::rename(a.c_str(), b.c_str());",
    "::close( fd );",
    "DIR* dir = opendir(\".\");",
    "while (auto* e = ::readdir(dir)) {}",
    "if (::lstat(p, &st) == 0) {}",
    "int n = ::write(1, \"x\", 1);",
    "x = flock(fd, LOCK_EX);",
    "if (done) close(fd);",
    "#include <fcntl.h>",
    "#  include <sys/stat.h>",
    "const int fd = ::mkostemp(temp.data(), O_CLOEXEC);",
]
SELF_TEST_ALLOWED = [
    "file.open(QIODevice::ReadOnly);",
    "device->close();",
    "QFile::remove(path); QFile::rename(a, b);",
    "gsf_output_close(out); sqlite3_open_v2(p, &db, f, nullptr); sqlite3_close(db);",
    "platform::DeleteFile(path); platform::Replacement r;",
    "// ::unlink(path) used to be here",
    "/* fsync(fd); */",
    "Log(\"open(\"); const char* s = \"::close(fd)\";",
    "bool open(const std::string& name);",
    "void Widget::close() {",
    "struct stat st {};",
    "file_.Close(); reader.Read(buffer); Stat(x);",
    "if (closeByItself_) close_later();",
    "QTimer::singleShot(0, this, [this] { close(); });",
    "std::fopen(path.c_str(), \"rb\");",
    "#include <unistd.h>",
    "const auto s = R\"(::open(x))\";",
]


def self_test():
    failures = []
    for text in SELF_TEST_CAUGHT:
        if not findings(text):
            failures.append("not caught: " + text)
    for text in SELF_TEST_ALLOWED:
        if findings(text):
            failures.append("caught by mistake: %s %s" % (text, findings(text)))
    # Lines are counted in the file as it is, comments included.
    where = findings("// one\n/* two\nthree */\nint x = ::unlink(p);\n")
    if where != [(4, "unlink(")]:
        failures.append("wrong line: %r" % (where,))
    return failures


def main(argv):
    if len(argv) == 2 and argv[1] == "--self-test":
        problems = self_test()
    elif len(argv) == 2:
        problems = check_tree(argv[1])
    else:
        print(__doc__)
        return 2
    for problem in problems:
        print(problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
