#!/usr/bin/env python3
"""Every driver routine states its IRQL (and lock) contract.

A definition carries the DDK's annotations itself, or _Use_decl_annotations_
and a declaration that carries them (a prototype or a role-type line such as
`DRIVER_DISPATCH DispatchRead;`).  In the emulator build those annotations are
checked on entry; a routine without one is checked by nothing, so this keeps
new routines from slipping through.  Usage: check_annotations.py DRIVER_DIR
"""
import pathlib
import re
import sys

ANNOTATION = re.compile(r"^(?:EXTERN_C\s+)?_(IRQL|Requires|Acquires|Releases|Function_class)_\w*")
DEFINITION = re.compile(r"^(?:static\s+)?(?:inline\s+)?[A-Z][\w\s\*]*?\b(\w+)\s*\(([^;]*)$")
PROTOTYPE = re.compile(r"^(?:static\s+)?[A-Z][\w\s\*]*?\b(\w+)\s*\(")
ROLE_DECLARATION = re.compile(r"^(?:static\s+)?[A-Z][A-Z_0-9]+\s+(\w+);")


def annotated_before(lines, i):
    j = i - 1
    while j >= 0 and lines[j].startswith("//"):
        j -= 1
    return j >= 0 and ANNOTATION.match(lines[j]) is not None, j >= 0 and "_Use_decl_annotations_" in lines[j]


def main(root):
    root = pathlib.Path(root)
    files = sorted(root.rglob("*.h")) + sorted(root.rglob("*.cpp"))
    files = [f for f in files if "platform" not in f.parts]
    declared = set()
    bare = []  # declarations without annotations: (file, line, name)
    definitions = []
    for f in files:
        lines = f.read_text().split("\n")
        for i, line in enumerate(lines):
            role = ROLE_DECLARATION.match(line)
            if role and not line.startswith("typedef"):
                if annotated_before(lines, i)[0]:
                    declared.add(role.group(1))
                else:
                    bare.append((f, i, role.group(1)))
                continue
            if line.startswith(("typedef", "return", "#")) or not PROTOTYPE.match(line):
                continue
            # The statement ends at its first ';' or '{'.
            j, text = i, line
            while ";" not in text and "{" not in text and j + 1 < len(lines):
                j += 1
                text += lines[j]
            name = PROTOTYPE.match(line).group(1)
            if "=" in line.split("(")[0]:
                continue
            if text.find(";") != -1 and (text.find("{") == -1 or text.find(";") < text.find("{")):
                if annotated_before(lines, i)[0]:
                    declared.add(name)
                else:
                    bare.append((f, i, name))
            elif "{" in text and text.rstrip().endswith("{"):
                definitions.append((f, i, name, annotated_before(lines, i)))
    missing = []
    for f, i, name, (annotated, use_decl) in definitions:
        if annotated or (use_decl and name in declared):
            continue
        why = "its declaration has no annotation" if use_decl else "no annotation"
        missing.append(f"{f.relative_to(root)}:{i + 1}: {name}: {why}")
    defined = {name for _, _, name, _ in definitions}
    for f, i, name in bare:
        if name in defined:
            missing.append(f"{f.relative_to(root)}:{i + 1}: {name}: a declaration without the annotation")
    print(f"check_annotations: {len(definitions)} routines, {len(missing)} without a contract")
    for m in missing:
        print("  " + m)
    return 1 if missing or not definitions else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "driver"))
