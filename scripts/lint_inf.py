#!/usr/bin/env python3
"""Lints a device INF: every section that another section names exists, every
%string% is defined, the install chain for x64 and for x86 is complete
(models, install, services, copy lists, source disks), and the Ports class is
named by its GUID.
Prints one line per finding; exits 1 on any error."""
import re
import sys

CLASS_GUIDS = {"ports": "{4d36e978-e325-11ce-bfc1-08002be10318}"}
# (models/install decoration the installer looks for first, source-disk suffix)
PLATFORMS = (("ntamd64", "amd64"), ("ntx86", "x86"))
REG_ROOTS = {"hkr", "hklm", "hkcu", "hkcr", "hku"}


def strip_comment(line):
    out, quoted = [], False
    for ch in line:
        if ch == '"':
            quoted = not quoted
        elif ch == ";" and not quoted:
            break
        out.append(ch)
    return "".join(out).strip()


def split_fields(value):
    fields, cur, quoted = [], [], False
    for ch in value:
        if ch == '"':
            quoted = not quoted
            cur.append(ch)
        elif ch == "," and not quoted:
            fields.append("".join(cur).strip())
            cur = []
        else:
            cur.append(ch)
    fields.append("".join(cur).strip())
    return fields


def parse(path):
    sections, order, current = {}, [], None
    pending = ""
    with open(path, encoding="utf-8-sig") as f:
        for lineno, raw in enumerate(f, 1):
            line = strip_comment(raw.rstrip("\r\n"))
            if pending:
                line = pending + line
                pending = ""
            if line.endswith("\\"):
                pending = line[:-1]
                continue
            if not line:
                continue
            m = re.match(r"^\[([^\]]+)\]$", line)
            if m:
                name = m.group(1).strip()
                key = name.lower()
                if key in sections:
                    current = sections[key]  # repeated sections merge, as Setup does
                else:
                    current = {"name": name, "lines": [], "lineno": lineno}
                    sections[key] = current
                    order.append(key)
                continue
            if current is None:
                yield_error = f"{path}:{lineno}: line outside any section: {line}"
                raise SyntaxError(yield_error)
            if "=" in line and not line.startswith('"'):
                k, v = line.split("=", 1)
                current["lines"].append((k.strip(), v.strip(), lineno))
            else:
                current["lines"].append((None, line, lineno))
    return sections, order


class Lint:
    def __init__(self, path):
        self.path = path
        self.sections, self.order = parse(path)
        self.errors = []
        self.referenced = set()
        self.disk_platform = PLATFORMS[0][1]  # of the install chain being checked

    def err(self, msg, lineno=None):
        where = f"{self.path}:{lineno}: " if lineno else f"{self.path}: "
        self.errors.append(where + msg)

    def get(self, name):
        return self.sections.get(name.lower())

    def need(self, name, by, lineno):
        sec = self.get(name)
        self.referenced.add(name.lower())
        if sec is None:
            self.err(f"section [{name}] referenced by [{by}] does not exist", lineno)
        return sec

    def values(self, section, key):
        return [(v, n) for k, v, n in section["lines"] if k and k.lower() == key.lower()]

    def pick_decorated(self, base, platform_variants):
        for suffix in platform_variants:
            if self.get(base + suffix) is not None:
                return base + suffix
        return None

    def run(self):
        self.check_version()
        self.check_strings()
        self.check_install_chain()
        self.check_source_disks()
        return self.errors

    def check_version(self):
        ver = self.get("Version")
        if ver is None:
            self.err("no [Version] section")
            return
        self.referenced.add("version")
        for key in ("Signature", "Class", "ClassGuid", "Provider", "DriverVer"):
            if not self.values(ver, key):
                self.err(f"[Version] lacks {key}", ver["lineno"])
        sig = self.values(ver, "Signature")
        if sig and sig[0][0].strip('"').lower() not in ("$windows nt$", "$chicago$"):
            self.err(f"[Version] Signature {sig[0][0]} is not $WINDOWS NT$", sig[0][1])
        cls, guid = self.values(ver, "Class"), self.values(ver, "ClassGuid")
        if cls and guid:
            want = CLASS_GUIDS.get(cls[0][0].lower())
            if want and guid[0][0].lower() != want:
                self.err(f"ClassGuid {guid[0][0]} is not the {cls[0][0]} class GUID {want}", guid[0][1])
        dv = self.values(ver, "DriverVer")
        if dv and not re.match(r"^\d{2}/\d{2}/\d{4}\s*,\s*\d+(\.\d+){3}$", dv[0][0]):
            self.err(f"DriverVer '{dv[0][0]}' is not mm/dd/yyyy,w.x.y.z", dv[0][1])

    def check_strings(self):
        defined = set()
        for key in self.order:
            if key == "strings" or key.startswith("strings."):
                self.referenced.add(key)
                defined |= {k.lower() for k, _, _ in self.sections[key]["lines"] if k}
        for key in self.order:
            if key == "strings" or key.startswith("strings."):
                continue
            for k, v, n in self.sections[key]["lines"]:
                for text in (k or "", v):
                    for tok in re.findall(r"%([^%\s]*)%", text):
                        if tok and not tok.isdigit() and tok.lower() not in defined:
                            self.err(f"string %{tok}% is not defined in [Strings]", n)

    def check_install_chain(self):
        mfg = self.get("Manufacturer")
        if mfg is None:
            self.err("no [Manufacturer] section")
            return
        self.referenced.add("manufacturer")
        for platform, disk_platform in PLATFORMS:
            self.disk_platform = disk_platform
            installs = 0
            for _, value, n in mfg["lines"]:
                fields = split_fields(value)
                models, decorations = fields[0], [d for d in fields[1:] if d]
                ours = [d for d in decorations if d.split(".")[0].lower() == platform]
                if decorations and not ours:
                    self.err(f"models {models} have no {platform} decoration", n)
                targets = [f"{models}.{d}" for d in ours] if decorations else [models]
                for t in targets:
                    sec = self.need(t, "Manufacturer", n)
                    if sec is not None:
                        installs += self.check_models(sec, platform)
            if installs == 0:
                self.err(f"no device is installed for the {platform} platform")

    def check_models(self, models, platform):
        count = 0
        for _, value, n in models["lines"]:
            fields = split_fields(value)
            if len(fields) < 2 or not fields[0] or not fields[1]:
                self.err(f"model line in [{models['name']}] needs install-section, hardware-id", n)
                continue
            base, hwid = fields[0], fields[1]
            if not re.match(r"^USB\\VID_[0-9A-Fa-f]{4}&PID_[0-9A-Fa-f]{4}(&MI_[0-9A-Fa-f]{2})?$", hwid):
                self.err(f"hardware id {hwid} is not a USB VID/PID id", n)
            install = self.pick_decorated(base, (f".{platform}", ".nt", ""))
            self.referenced.add(base.lower())
            if install is None:
                self.err(f"install section {base}[.{platform}|.NT] referenced by [{models['name']}] "
                         "does not exist", n)
                continue
            count += 1
            self.check_install(self.get(install))
        return count

    def check_install(self, sec):
        name = sec["name"]
        self.referenced.add(name.lower())
        has_include = bool(self.values(sec, "Include"))
        for key in ("AddReg", "DelReg", "CopyFiles", "DelFiles", "RenFiles", "Needs"):
            for value, n in self.values(sec, key):
                for item in split_fields(value):
                    if not item or (key == "CopyFiles" and item.startswith("@")):
                        continue
                    if key == "Needs" and has_include:
                        continue  # sections of an included system INF
                    s = self.need(item, name, n)
                    if s is not None and key == "AddReg":
                        self.check_addreg(s)
                    if s is not None and key == "CopyFiles":
                        self.check_copyfiles(s)
        hw = self.get(name + ".HW")
        if hw is not None:
            self.check_install(hw)
        if name.lower().endswith(".hw"):
            return
        svc = self.get(name + ".Services")
        if svc is None:
            self.err(f"[{name}.Services] is missing: the device would have no function driver")
            return
        self.referenced.add(svc["name"].lower())
        func = 0
        for value, n in self.values(svc, "AddService"):
            fields = split_fields(value)
            if len(fields) < 3 or not fields[2]:
                self.err("AddService needs name, flags, service-install-section", n)
                continue
            try:
                flags = int(fields[1], 0)
            except ValueError:
                self.err(f"AddService flags '{fields[1]}' are not a number", n)
                flags = 0
            if flags & 0x2:
                func += 1
            s = self.need(fields[2], svc["name"], n)
            if s is not None:
                self.check_service(s)
            if len(fields) > 3 and fields[3]:
                self.need(fields[3], svc["name"], n)
        if func != 1:
            self.err(f"[{svc['name']}] must name exactly one function driver (flag 0x2), names {func}")

    def check_addreg(self, sec):
        for k, value, n in sec["lines"]:
            line = value if k is None else f"{k}={value}"
            fields = split_fields(line)
            if fields[0].lower() not in REG_ROOTS:
                self.err(f"AddReg line in [{sec['name']}] has no registry root: {line}", n)

    def check_copyfiles(self, sec):
        files = self.disk_files()
        dest = self.get("DestinationDirs")
        if dest is None:
            self.err("no [DestinationDirs] section")
        else:
            self.referenced.add("destinationdirs")
            keys = {k.lower() for k, _, _ in dest["lines"] if k}
            if sec["name"].lower() not in keys and "defaultdestdir" not in keys:
                self.err(f"no destination for [{sec['name']}] in [DestinationDirs]")
        for k, value, n in sec["lines"]:
            fname = split_fields(value if k is None else k)[0]
            if fname.lower() not in files:
                self.err(f"{fname} (copied by [{sec['name']}]) is not in [SourceDisksFiles.{self.disk_platform}]",
                         n)

    def check_service(self, sec):
        self.referenced.add(sec["name"].lower())
        for key in ("ServiceType", "StartType", "ErrorControl", "ServiceBinary"):
            if not self.values(sec, key):
                self.err(f"[{sec['name']}] lacks {key}", sec["lineno"])
        st = self.values(sec, "ServiceType")
        if st and st[0][0].split()[0] not in ("1", "0x1", "0x00000001"):
            self.err(f"[{sec['name']}] ServiceType {st[0][0]} is not a kernel driver (1)", st[0][1])

    def disk_files(self):
        files = {}
        for key in ("sourcedisksfiles", f"sourcedisksfiles.{self.disk_platform}"):
            sec = self.get(key)
            if sec is not None:
                self.referenced.add(key)
                for k, v, n in sec["lines"]:
                    if k:
                        files[k.lower()] = (split_fields(v)[0], n)
        return files

    def check_source_disks(self):
        for _, disk_platform in PLATFORMS:
            self.disk_platform = disk_platform
            disks = set()
            for key in ("sourcedisksnames", f"sourcedisksnames.{disk_platform}"):
                sec = self.get(key)
                if sec is not None:
                    self.referenced.add(key)
                    disks |= {k.strip() for k, _, _ in sec["lines"] if k}
            for fname, (disk, n) in self.disk_files().items():
                if disk not in disks:
                    self.err(f"{fname} is on disk {disk}, which [SourceDisksNames.{disk_platform}] does not list", n)
        dest = self.get("DestinationDirs")
        if dest is not None:
            for k, _, n in dest["lines"]:
                if k and k.lower() != "defaultdestdir":
                    self.need(k, "DestinationDirs", n)

    def unreferenced(self):
        return [self.sections[k]["name"] for k in self.order if k not in self.referenced]


def main(argv):
    if len(argv) != 2:
        print("usage: lint_inf.py FILE.inf", file=sys.stderr)
        return 2
    try:
        lint = Lint(argv[1])
    except (OSError, SyntaxError, UnicodeDecodeError) as e:
        print(f"FAIL {e}")
        return 1
    errors = lint.run()
    for name in lint.unreferenced():
        print(f"warn {argv[1]}: section [{name}] is not referenced")
    for e in errors:
        print(f"FAIL {e}")
    if errors:
        print(f"lint_inf: {len(errors)} finding(s)")
        return 1
    print(f"lint_inf: {argv[1]} passes")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
