#!/usr/bin/env python3
"""Writes the Linux edition's dialog template table from the resource script.

Usage: rc_templates.py [-I DIR]... SCRIPT.rc OUTPUT.cpp

Quoted includes are looked for beside the including file, then in each -I DIR in turn, as the
resource compiler does. Only the subset of the resource language the script uses is understood;
anything else stops the build with file:line, since a table that silently differs from the
Windows dialogs is worse than none. The output depends on nothing but the inputs.
"""
import os
import re
import sys

# What <winresrc.h> gives the script.
SYSTEM_MACROS = {
    "WS_POPUP": 0x80000000, "WS_CHILD": 0x40000000, "WS_VISIBLE": 0x10000000,
    "WS_CAPTION": 0x00C00000, "WS_BORDER": 0x00800000, "WS_SYSMENU": 0x00080000,
    "WS_GROUP": 0x00020000, "WS_TABSTOP": 0x00010000, "WS_EX_APPWINDOW": 0x00040000,
    "DS_SETFONT": 0x40, "DS_MODALFRAME": 0x80, "SS_LEFT": 0x0, "SS_ICON": 0x3, "SS_NOPREFIX": 0x80,
    "BS_PUSHBUTTON": 0x0, "BS_DEFPUSHBUTTON": 0x1, "IDOK": 1,
    "LANG_CHINESE": 0x04, "SUBLANG_CHINESE_SIMPLIFIED": 0x02,
    "VS_VERSION_INFO": 1, "VS_FFI_FILEFLAGSMASK": 0x3F, "VOS__WINDOWS32": 0x4, "VFT_APP": 0x1,
    "VFT2_UNKNOWN": 0x0,
}
M = SYSTEM_MACROS
SS_TYPEMASK, BS_TYPEMASK = 0x1F, 0xF


def bits(*names):
    value = 0
    for name in names:
        value |= M[name]
    return value


# The style bits the Linux edition reproduces (or that change nothing there); any other bit
# would make the two editions differ.
DIALOG_STYLES = bits("DS_MODALFRAME", "DS_SETFONT", "WS_POPUP", "WS_VISIBLE", "WS_CAPTION", "WS_SYSMENU")
DIALOG_EXSTYLES = M["WS_EX_APPWINDOW"]
COMMON_STYLES = bits("WS_CHILD", "WS_VISIBLE", "WS_GROUP", "WS_TABSTOP")
KIND_STYLES = {
    "Button": COMMON_STYLES | M["BS_DEFPUSHBUTTON"],
    "Static": COMMON_STYLES | M["SS_NOPREFIX"],
    "Icon": COMMON_STYLES | M["SS_ICON"],
    "Progress": COMMON_STYLES | M["WS_BORDER"],
}

# The names dialog_templates.h declares for the dialogs.
TABLE_NAMES = {"IDD_UPGRADE_DIALOG": "kUpgradeDialogTemplate", "IDD_ABOUTBOX": "kAboutBoxTemplate"}

TOKEN = re.compile(r'\s+|//(?P<comment>[^\n]*)|/\*.*?\*/|(?P<string>"(?:[^"\\\n]|\\.|"")*")'
                   r'|(?P<number>(?:0[xX][0-9A-Fa-f]+|\d+)[lLuU]*)|(?P<name>[A-Za-z_]\w*)|(?P<punct>[,|()-])',
                   re.S)
ESCAPES = {"\\\\": "\\", '\\"': '"', '""': '"', "\\n": "\n", "\\t": "\t", "\\0": "\0"}


class RcError(Exception):
    pass


class Token:
    def __init__(self, kind, text, where, value=None):
        self.kind, self.text, self.where, self.value = kind, text, where, value


def fail(where, message):
    raise RcError(f"{where[0]}:{where[1]}: error: {message}")


def unescape(body, where):
    def one(escape):
        if escape.group(0) not in ESCAPES:
            fail(where, f"unsupported escape {escape.group(0)}")
        return ESCAPES[escape.group(0)]

    return re.sub(r'\\.|""', one, body, flags=re.S)


def tokenize(text, path, first_line=1, comments=None):
    """Tokens of text; a line's `//` comment goes into comments[line] when given."""
    tokens, pos, line = [], 0, first_line
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m:
            fail((path, line), f"unexpected character {text[pos]!r}")
        where = (path, line)
        if m.group("comment") is not None and comments is not None:
            comments[line] = m.group("comment").strip()
        if m.group("string"):
            tokens.append(Token("string", m.group(0), where, unescape(m.group("string")[1:-1], where)))
        elif m.group("number"):
            tokens.append(Token("number", m.group(0), where, int(m.group(0).rstrip("lLuU"), 0)))
        elif m.group("name"):
            tokens.append(Token("name", m.group(0), where))
        elif m.group("punct"):
            tokens.append(Token("punct", m.group(0), where))
        line += m.group(0).count("\n")
        pos = m.end()
    return tokens


class Preprocessor:
    """The directives the script and its headers use: includes, object-like defines,
    #ifdef/#ifndef/#endif, #pragma once and the UTF-8 code page."""

    def __init__(self, include_dirs):
        self.include_dirs = include_dirs
        self.macros = {name: [Token("number", str(v), ("<winresrc.h>", 0), v)] for name, v in SYSTEM_MACROS.items()}
        self.once = set()
        self.comments = {}
        self.utf8 = False

    def run(self, path, top=True):
        tokens, skipping, chunk, chunk_line = [], [], [], 1
        with open(path, encoding="utf-8") as f:
            lines = f.read().split("\n")
        comments = self.comments.setdefault(path, {}) if top else None

        def flush():
            found = tokenize("\n".join(chunk), path, chunk_line, comments)
            chunk.clear()
            if found and not top:
                fail(found[0].where, "a header may hold only preprocessor directives")
            if found and not self.utf8:
                fail(found[0].where, "#pragma code_page(65001) must come before the first resource")
            tokens.extend(found)

        for number, line in enumerate(lines, 1):
            directive = re.match(r"\s*#\s*(\w+)\s*(.*?)\s*(//.*)?$", line)
            if not directive:
                if not chunk:
                    chunk_line = number
                chunk.append("" if any(skipping) else line)
                continue
            flush()
            where, (name, rest) = (path, number), directive.group(1, 2)
            if name not in ("ifdef", "ifndef", "endif", "define", "include", "pragma"):
                fail(where, f"unsupported directive #{name}")
            if name in ("ifdef", "ifndef"):
                skipping.append((rest in self.macros) == (name == "ifndef"))
            elif name == "endif":
                if not skipping:
                    fail(where, "#endif without #if")
                skipping.pop()
            elif any(skipping):
                continue
            elif name == "define":
                d = re.fullmatch(r"([A-Za-z_]\w*)(?:\s+(.*))?", rest)
                if not d:
                    fail(where, f"unsupported #define {rest}")
                self.macros[d.group(1)] = tokenize(d.group(2) or "", path, number)
            elif name == "include":
                self.include(where, rest, tokens)
            elif name == "pragma" and rest == "once":
                self.once.add(os.path.realpath(path))
            elif name == "pragma" and top and re.fullmatch(r"code_page\s*\(\s*65001\s*\)", rest):
                self.utf8 = True
            else:
                fail(where, f"unsupported directive #{name} {rest}".rstrip())
        flush()
        if skipping:
            fail((path, len(lines)), "#if without #endif")
        return tokens

    def include(self, where, rest, tokens):
        if rest == "<winresrc.h>":
            return
        quoted = re.fullmatch(r'"([^"]+)"', rest)
        if not quoted:
            fail(where, f"unsupported include {rest}")
        for folder in [os.path.dirname(where[0])] + self.include_dirs:
            candidate = os.path.join(folder, quoted.group(1))
            if os.path.isfile(candidate):
                if os.path.realpath(candidate) not in self.once:
                    tokens.extend(self.run(candidate, top=False))
                return
        fail(where, f"cannot find {rest}")


class Parser:
    def __init__(self, tokens, macros, comments):
        self.tokens, self.pos, self.macros, self.comments = tokens, 0, macros, comments
        self.dialogs, self.strings, self.icons, self.icon_uses = [], {}, set(), []

    # Tokens.
    def peek(self):
        return self.tokens[self.pos] if self.pos < len(self.tokens) else None

    def where(self):
        token = self.peek() or self.tokens[-1]
        return token.where

    def next(self, what):
        token = self.peek()
        if token is None:
            fail(self.tokens[-1].where, f"expected {what} before the end of the file")
        self.pos += 1
        return token

    def accept(self, text):
        token = self.peek()
        if token is not None and token.kind != "string" and token.text == text:
            self.pos += 1
            return True
        return False

    def expect(self, text):
        if not self.accept(text):
            token = self.peek()
            found = f", found {token.text}" if token else " before the end of the file"
            fail(self.where(), f"expected {text}{found}")

    def expand(self):
        """Replaces a macro at the front by its tokens, as used at this place."""
        token, seen = self.peek(), ()
        while token is not None and token.kind == "name" and token.text in self.macros:
            if token.text in seen:
                fail(token.where, f"{token.text} expands to itself")
            seen += (token.text,)
            body = [Token(t.kind, t.text, token.where, t.value) for t in self.macros[token.text]]
            self.tokens[self.pos:self.pos + 1] = body
            token = self.peek()

    # Values.
    def primary(self):
        self.expand()
        token = self.next("a number")
        if token.kind == "number":
            return token.value
        if token.text == "(":
            value = self.expression()
            self.expect(")")
            return value
        if token.text == "-":
            return -self.primary()
        if token.kind == "name":
            fail(token.where, f"unknown macro {token.text}")
        fail(token.where, f"expected a number, found {token.text}")

    def expression(self):
        value = self.primary()
        while self.accept("|"):
            value |= self.primary()
        return value

    def string(self):
        """A string literal, or several side by side, macros expanded."""
        self.expand()
        token = self.next("a string")
        if token.kind != "string":
            fail(token.where, f"expected a string, found {token.text}")
        value = token.value
        while self.string_follows():
            self.expand()
            value += self.next("a string").value
        return value

    def string_follows(self):
        """Whether a string comes next, looking through macros without expanding them, so that
        the name of the next resource stays as written."""
        token, seen = self.peek(), set()
        while token is not None and token.kind == "name" and token.text in self.macros and token.text not in seen:
            seen.add(token.text)
            body = self.macros[token.text]
            token = body[0] if body else None
        return token is not None and token.kind == "string"

    def identifier(self):
        """A macro naming a number, kept with its name."""
        token = self.peek()
        if token is None or token.kind != "name":
            fail(self.where(), "expected a macro name" + (f", found {token.text}" if token else ""))
        return token.text, self.expression(), token.where

    def numbers(self, count):
        values = [self.expression()]
        for _ in range(count - 1):
            self.expect(",")
            values.append(self.expression())
        return values

    # Statements.
    def script(self):
        while self.peek() is not None:
            token = self.peek()
            if self.accept("LANGUAGE"):
                self.numbers(2)
            elif self.accept("STRINGTABLE"):
                self.stringtable()
            elif token.kind == "name" and token.text in self.macros:
                self.resource()
            else:
                fail(token.where, f"unknown statement or macro {token.text}")
        for where, value in self.icon_uses:
            if value not in self.icons:
                fail(where, f"no ICON resource {value}")
        missing = set(TABLE_NAMES) - {d["macro"] for d in self.dialogs}
        if missing:
            fail(self.tokens[-1].where, "no dialog " + ", ".join(sorted(missing)))

    def resource(self):
        name, value, where = self.identifier()
        kind = self.next("a resource type")
        if kind.text == "ICON":
            self.string()
            self.icons.add(value)
        elif kind.text in ("DIALOG", "DIALOGEX"):
            self.dialog(name, where, extended=kind.text == "DIALOGEX")
        elif kind.text == "VERSIONINFO":
            self.versioninfo()
        else:
            fail(kind.where, f"unknown resource type {kind.text}")

    def at(self, text):
        token = self.peek()
        return token is not None and token.kind != "string" and token.text == text

    def begin(self):
        where = self.where()
        self.expect("BEGIN")
        return where

    def block_end(self, opened):
        """True at the END of the block opened at `opened`."""
        if self.peek() is None:
            fail(opened, "BEGIN without END")
        return self.accept("END")

    def dialog(self, name, where, extended):
        if name not in TABLE_NAMES:
            fail(where, f"dialog {name} has no table in dialog_templates.h")
        if any(d["macro"] == name for d in self.dialogs):
            fail(where, f"dialog {name} appears twice")
        _, _, width, height = self.numbers(4)
        dialog = {"macro": name, "size": (width, height), "caption": "", "font": None, "controls": []}
        style = exstyle = 0
        while not self.at("BEGIN"):
            token = self.next("BEGIN")
            if token.text == "STYLE":
                style = self.expression()
            elif token.text == "EXSTYLE" and extended:
                exstyle = self.expression()
            elif token.text == "CAPTION":
                dialog["caption"] = self.string()
            elif token.text == "FONT":
                dialog["font"] = self.font(extended)
            else:
                fail(token.where, f"unknown statement {token.text}")
        if style & ~DIALOG_STYLES or exstyle & ~DIALOG_EXSTYLES:
            fail(where, f"dialog {name}: style {style:#x}, {exstyle:#x} has bits the Linux edition doesn't show")
        if dialog["font"] is None:
            fail(where, f"dialog {name} has no FONT")
        opened = self.begin()
        names = set()
        while not self.block_end(opened):
            control = self.control(opened)
            if control["name"] in names:
                fail(control["where"], f"a second control named {control['name']}")
            names.add(control["name"])
            dialog["controls"].append(control)
        self.dialogs.append(dialog)

    def font(self, extended):
        where = self.where()
        size = self.expression()
        self.expect(",")
        family = self.string()
        if extended and self.accept(","):
            weight, italic, _charset = self.numbers(3)
            if weight not in (0, 400) or italic:
                fail(where, "only a regular font is supported")
        return family, size

    def control(self, opened):
        keyword = self.next("END")
        where = keyword.where
        implied = {"DEFPUSHBUTTON": M["BS_DEFPUSHBUTTON"] | M["WS_TABSTOP"], "PUSHBUTTON": M["WS_TABSTOP"],
                   "LTEXT": M["SS_LEFT"] | M["WS_GROUP"]}
        if keyword.text in implied:
            text = self.string()
            self.expect(",")
            id_name, id_value, _ = self.identifier()
            self.expect(",")
            rect = self.numbers(4)
            style = implied[keyword.text] | (self.expression() if self.accept(",") else 0)
            kind = "Static" if keyword.text == "LTEXT" else "Button"
        elif keyword.text == "CONTROL":
            self.expand()
            by_id = self.peek() is not None and self.peek().kind != "string"
            text = "" if by_id else self.string()
            if by_id:
                self.icon_uses.append((where, self.expression()))
            self.expect(",")
            id_name, id_value, _ = self.identifier()
            self.expect(",")
            window_class = self.string().lower()
            self.expect(",")
            style = self.expression()
            self.expect(",")
            rect = self.numbers(4)
            if window_class == "static" and (style & SS_TYPEMASK) == M["SS_ICON"] and by_id:
                kind = "Icon"
            elif window_class == "msctls_progress32" and not by_id:
                kind = "Progress"
            else:
                fail(where, f"unsupported CONTROL of class {window_class}")
        else:
            unknown_in_block(keyword, opened)
        if self.accept(","):
            fail(where, "extended styles of controls are not supported")
        style |= M["WS_CHILD"] | M["WS_VISIBLE"]
        if style & ~KIND_STYLES[kind]:
            fail(where, f"style {style:#x} has bits the Linux edition doesn't show")
        if kind == "Static" and "&" in text and not style & M["SS_NOPREFIX"]:
            fail(where, "an access key in a static's text needs SS_NOPREFIX")
        name = id_name
        if id_value == -1:
            last = self.tokens[self.pos - 1].where
            name = self.comments.get(last[0], {}).get(last[1], "")
            if not re.fullmatch(r"[A-Za-z_]\w*", name):
                fail(where, f"a control with id {id_name} needs its object name in a trailing // comment")
        flags = []
        if kind == "Button" and (style & BS_TYPEMASK) == M["BS_DEFPUSHBUTTON"]:
            flags.append("kDefaultButton")
        if style & M["WS_TABSTOP"]:
            flags.append("kTabStop")
        return {"id": id_value, "name": name, "kind": kind, "text": text, "rect": rect, "flags": flags,
                "where": where}

    def stringtable(self):
        opened = self.begin()
        while not self.block_end(opened):
            _, value, where = self.identifier()
            if value in self.strings:
                fail(where, f"string {value} appears twice")
            self.accept(",")
            self.strings[value] = self.string()

    def versioninfo(self):
        fixed = ("FILEVERSION", "PRODUCTVERSION", "FILEFLAGSMASK", "FILEFLAGS", "FILEOS", "FILETYPE", "FILESUBTYPE")
        while not self.at("BEGIN"):
            token = self.next("BEGIN")
            if token.text not in fixed:
                fail(token.where, f"unknown statement {token.text}")
            self.numbers(4 if token.text.endswith("VERSION") else 1)
        self.version_block()

    def version_block(self):
        opened = self.begin()
        while not self.block_end(opened):
            token = self.next("END")
            if token.text == "BLOCK":
                self.string()
                self.version_block()
            elif token.text == "VALUE":
                self.string()
                while self.accept(","):
                    self.expand()
                    if self.peek() is not None and self.peek().kind == "string":
                        self.string()
                    else:
                        self.expression()
            else:
                unknown_in_block(token, opened)


def unknown_in_block(token, opened):
    fail(token.where, f"unknown statement {token.text} in the block opened at line {opened[1]} (missing END?)")


def cpp_string(text):
    out = '"'
    for ch in text:
        if ch in '"\\':
            out += "\\" + ch
        elif ord(ch) < 0x20:
            out += f"\\{ord(ch):03o}"
        else:
            out += ch
    return out + '"'


def controls_name(dialog):
    return TABLE_NAMES[dialog["macro"]].replace("Template", "Controls")


def table(parser, script_name):
    lines = [f"// Generated from {script_name} by rc_templates.py; change the script, not this file.",
             '#include "resources/dialog_templates.h"', "", "namespace kestrival::resources {", "namespace {", ""]
    for dialog in parser.dialogs:
        lines.append(f"constexpr ControlTemplate {controls_name(dialog)}[] = {{")
        for c in dialog["controls"]:
            rect = ", ".join(str(v) for v in c["rect"])
            flags = " | ".join(c["flags"]) or "0"
            lines.append(f'    {{{c["id"]}, "{c["name"]}", ControlKind::{c["kind"]}, {cpp_string(c["text"])}, '
                         f"{{{rect}}}, {flags}}},")
        lines += ["};", ""]
    lines += ["} // namespace", ""]
    for dialog in parser.dialogs:
        name = TABLE_NAMES[dialog["macro"]]
        family, size = dialog["font"]
        lines.append(f"const DialogTemplate {name} {{{cpp_string(dialog['caption'])}, {dialog['size'][0]}, "
                     f"{dialog['size'][1]}, {{{cpp_string(family)}, {size}}}, {controls_name(dialog)}}};")
    lines += ["", "std::string_view load_string(int id)", "{", "    switch (id) {"]
    for value in sorted(parser.strings):
        lines.append(f"    case {value}:\n        return {cpp_string(parser.strings[value])};")
    lines += ["    default:", "        return {};", "    }", "}", "", "} // namespace kestrival::resources", ""]
    return "\n".join(lines)


def main(argv):
    include_dirs, args = [], list(argv)
    while len(args) > 2 and args[0] == "-I":
        include_dirs.append(args[1])
        args = args[2:]
    if len(args) != 2:
        sys.stderr.write(__doc__)
        return 2
    script, output = args
    try:
        preprocessor = Preprocessor(include_dirs)
        tokens = preprocessor.run(script)
        if not tokens:
            fail((script, 1), "no resources")
        parser = Parser(tokens, preprocessor.macros, preprocessor.comments)
        parser.script()
        text = table(parser, os.path.basename(script))
    except RcError as error:
        print(error, file=sys.stderr)
        return 1
    except (OSError, UnicodeDecodeError) as error:
        print(f"{script}: error: {error}", file=sys.stderr)
        return 1
    partial = output + ".part"
    try:
        with open(partial, "w", encoding="utf-8", newline="\n") as f:
            f.write(text)
        os.replace(partial, output)
    except OSError as error:
        print(f"{output}: error: {error}", file=sys.stderr)
        if os.path.exists(partial):
            os.remove(partial)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
