"""Find in the project's native sources what MinGW-w64 accepts and MSVC does not.

MinGW-w64 brings POSIX pieces that Windows' own compiler and C runtime lack:
unistd.h, winpthreads (pthread_*, clock_gettime, nanosleep) reached through
libstdc++, strcasecmp, strtok_r. A module using them builds here and fails for
a user building with MSVC, so they are looked for in the sources:

- headers MSVC does not have (POSIX, GCC's own);
- calls that MSVC does not have, or keeps only under a deprecated name or as
  an "unsafe" function that /W4 warns about (C4996);
- GCC extensions that -Wpedantic leaves alone (__builtin_*, __attribute__, ...).

Code inside an #if/#ifdef that tests the platform or the compiler is its
author's stated choice and is left alone. Comments and literals are ignored.
One line per finding; exit 1 on any.

    python check_sources.py DIR...
"""
import pathlib
import re
import sys

SUFFIXES = {".c", ".cc", ".cpp", ".cxx", ".h", ".hh", ".hpp"}

POSIX_HEADERS = re.compile(
    r"(unistd|pthread|dlfcn|dirent|strings|poll|sched|semaphore|syslog|pwd|grp|termios|netdb"
    r"|regex|libgen|fnmatch|glob|spawn|langinfo|execinfo|cxxabi|features|endian|byteswap"
    r"|alloca|err|getopt|iconv|x86intrin|cpuid)\.h"
    r"|(sys/(?!types\.h|stat\.h|timeb\.h|utime\.h|locking\.h)|netinet/|arpa/|bits/|ext/).*")

# Declared by MinGW-w64's headers, absent from MSVC's C runtime.
POSIX_CALLS = (
    "clock_gettime clock_getres clock_settime clock_nanosleep nanosleep usleep sleep "
    "gettimeofday localtime_r gmtime_r ctime_r asctime_r strtok_r strcasecmp strncasecmp "
    "ftruncate setenv unsetenv fork vfork waitpid pipe getuid geteuid getgid getppid kill "
    "sysconf mmap munmap dlopen dlsym sched_yield sem_init sem_wait sem_post sem_destroy"
).split()
POSIX_CALL_PREFIXES = ("pthread_",)
# POSIX names that MSVC keeps only as deprecated aliases of _name.
MSVC_DEPRECATED = (
    "getpid isatty access fileno unlink close open read write lseek getcwd chdir mkdir "
    "rmdir dup dup2 umask putenv strdup stricmp strnicmp itoa swab tempnam"
).split()
# Standard functions that MSVC reports as unsafe.
MSVC_UNSAFE = (
    "strcpy strcat strncpy strncat strtok sprintf vsprintf sscanf fscanf scanf fopen "
    "freopen strerror getenv localtime gmtime ctime asctime mbstowcs wcstombs tmpnam"
).split()
GCC_ONLY = re.compile(r"\b(__builtin_\w+|__attribute__|__int128|__typeof__|typeof|__extension__|__asm__|asm)\b")

PLATFORM_TEST = re.compile(
    r"_WIN32|_WIN64|_MSC_VER|__GNUC__|__clang__|__MINGW\w*|__unix__|__linux__|__APPLE__"
    r"|_POSIX\w*|__has_builtin|__has_attribute|__has_include|MS_WINDOWS")

TOKENS = re.compile(
    r'//[^\n]*|/\*.*?\*/|R"(?P<d>[^(\s]*)\(.*?\)(?P=d)"|"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'',
    re.S)


def blank(text):
    return re.sub(r"[^\n]", " ", text)


def strip(source):
    """(code without comments, code without comments or literals), lines kept."""
    no_comments, bare = [], []
    pos = 0
    for m in TOKENS.finditer(source):
        no_comments.append(source[pos:m.start()])
        bare.append(source[pos:m.start()])
        token = m.group(0)
        comment = token.startswith(("//", "/*"))
        no_comments.append(blank(token) if comment else token)
        bare.append(blank(token))
        pos = m.end()
    no_comments.append(source[pos:])
    bare.append(source[pos:])
    return "".join(no_comments).splitlines(), "".join(bare).splitlines()


CALL = re.compile(r"\b([A-Za-z_]\w*)\s*\(")
KEYWORDS = {"return", "throw", "else", "case", "do", "co_return", "co_yield", "new", "delete"}
DECLARATOR = re.compile(r"(?:\b(?P<word>[A-Za-z_]\w*)|>)\s*[*&]*$")


def declared_here(before):
    """The name follows a type: a function the project declares or defines."""
    m = DECLARATOR.search(before)
    return bool(m) and m.group("word") not in KEYWORDS


def called_globally(line, m):
    """A call of the global or std:: name, not a member or another namespace's."""
    before = line[:m.start()].rstrip()
    if before.endswith((".", "->")):
        return False
    if before.endswith("::"):
        qualifier = re.search(r"(\w*)::$", before).group(1)
        return qualifier in ("", "std")
    return not declared_here(before)


def own_names(code):
    """Names of the functions that these lines declare or define."""
    return {m.group(1) for line in code for m in CALL.finditer(line)
            if declared_here(line[:m.start()].rstrip())}


def findings(path, rel, own):
    directives, code = strip(path.read_text(errors="replace"))
    guarded = []  # per open #if: does it test the platform or the compiler?
    for number, (directive, line) in enumerate(zip(directives, code), 1):
        d = re.match(r"\s*#\s*(\w+)(.*)", directive)
        if d:
            word, rest = d.group(1), d.group(2)
            if word in ("if", "ifdef", "ifndef"):
                guarded.append(bool(PLATFORM_TEST.search(rest)))
            elif word == "elif" and guarded:
                guarded[-1] = guarded[-1] or bool(PLATFORM_TEST.search(rest))
            elif word == "endif" and guarded:
                guarded.pop()
            elif word == "include" and not any(guarded):
                h = re.match(r'\s*[<"]([^>"]+)[>"]', rest)
                if h and POSIX_HEADERS.fullmatch(h.group(1)):
                    yield f"{rel}:{number}: <{h.group(1)}> is not a header that MSVC has"
            continue
        if any(guarded):
            continue
        for m in GCC_ONLY.finditer(line):
            yield f"{rel}:{number}: {m.group(1)} is a GCC extension, unguarded"
        for m in CALL.finditer(line):
            name = m.group(1)
            if name in own or not called_globally(line, m):
                continue
            if name in POSIX_CALLS or name.startswith(POSIX_CALL_PREFIXES):
                yield f"{rel}:{number}: {name}() is a POSIX call that MSVC's runtime does not have"
            elif name in MSVC_DEPRECATED:
                yield f"{rel}:{number}: {name}() is a POSIX name that MSVC deprecates (C4996 at /W4)"
            elif name in MSVC_UNSAFE:
                yield f"{rel}:{number}: {name}() is a function that MSVC warns about as unsafe (C4996)"


def main():
    root = pathlib.Path.cwd()
    paths = sorted(p for top in map(pathlib.Path, sys.argv[1:])
                   for p in top.rglob("*") if p.suffix in SUFFIXES and p.is_file())
    # A project function that shares a name with a C library one is its own.
    own = set().union(*(own_names(strip(p.read_text(errors="replace"))[1]) for p in paths))
    problems = []
    for path in paths:
        rel = path.resolve().relative_to(root) if path.resolve().is_relative_to(root) else path
        problems += findings(path, rel, own)
    for problem in problems:
        print(f"windows-build: {problem}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
