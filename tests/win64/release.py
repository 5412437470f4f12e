#!/usr/bin/env python3
"""The release steps on the built orvinst.exe.

    release.py --build-dir DIR image          the image as shipped: a 64-bit GUI program that
        imports only Windows' known DLLs, which the loader never looks for beside the program,
        and delay-loads nothing (a delay-loaded DLL is looked for in the usual search order)
    release.py --build-dir DIR signing        signs it as a release is (scripts/sign) with a
        throwaway self-signed certificate: the result verifies, the unsigned or a changed image
        does not, a wrong password leaves nothing, and the signed program still runs under Wine
    release.py --build-dir DIR reproducible   builds it again from a copy of the tree in another
        folder: two builds of one commit are byte-equal wherever they were made
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIGN = os.path.join(SOURCE_DIR, "scripts", "sign")
FAILURES = []
# The known DLLs that every Windows from 7 to 11 lists under HKLM\SYSTEM\CurrentControlSet\
# Control\Session Manager\KnownDLLs: the loader maps them, and what they import, from the system
# directory only. Any other (version.dll, winspool.drv, a C runtime's own DLL, an api-ms-win-crt
# set, which an older Windows 7 keeps as plain files) is looked for beside the program first.
KNOWN_DLLS = {"advapi32.dll", "clbcatq.dll", "comdlg32.dll", "gdi32.dll", "imagehlp.dll", "imm32.dll", "kernel32.dll",
              "msctf.dll", "msvcrt.dll", "normaliz.dll", "nsi.dll", "ole32.dll", "oleaut32.dll", "psapi.dll",
              "rpcrt4.dll", "sechost.dll", "setupapi.dll", "shell32.dll", "shlwapi.dll", "user32.dll", "wldap32.dll",
              "ws2_32.dll"}


def run(command, **options):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, **options)
    return result.returncode, result.stdout


def check(ok, what, output=""):
    if not ok:
        FAILURES.append(what + ("\n    " + output.strip().replace("\n", "\n    ") if output else ""))


def verifies(certificate, image):
    status, output = run(["osslsigncode", "verify", "-CAfile", certificate, "-in", image])
    return status == 0 and "Signature verification: ok" in output, output


def no_partial_file(folder):
    return not any(name.startswith(".signing.") for name in os.listdir(folder))


def image(build_dir, image, work):
    status, output = run(["x86_64-w64-mingw32-objdump", "-p", image])
    check(status == 0 and "file format pei-x86-64" in output, "a 64-bit PE image", output[:200])
    check(re.search(r"^Subsystem\s+00000002\s", output, re.M), "a GUI program")
    dlls = re.findall(r"DLL Name: (\S+)", output)
    strangers = [dll for dll in dlls if dll.lower() not in KNOWN_DLLS]
    check(dlls and not strangers, "imports %s, which can be planted beside the program" % strangers)
    check(re.search(r"^Entry d \S+ 00000000 Delay Import Directory", output, re.M), "no delay-load imports")


def signing(build_dir, image, work):
    key, certificate = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
    status, output = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out",
                          certificate, "-days", "2", "-subj", "/O=Corvane/CN=Corvane test signing", "-addext",
                          "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"])
    if status != 0:
        return check(False, "making the throwaway certificate", output)
    signed = os.path.join(work, "drv", "orvinst.exe")
    os.makedirs(os.path.dirname(signed))
    shutil.copy2(image, signed)
    status, output = run([SIGN, "--cert", certificate, "--key", key, signed])
    check(status == 0 and no_partial_file(os.path.dirname(signed)), "scripts/sign in place (%d)" % status, output)
    ok, output = verifies(certificate, signed)
    check(ok and "Text description: Orvandelle installer" in output, "the signed image verifies, named", output)
    check(not verifies(certificate, image)[0], "the unsigned image does not verify")
    tampered = os.path.join(work, "tampered.exe")
    shutil.copy2(signed, tampered)
    with open(tampered, "r+b") as file:
        file.seek(0x400)
        byte = file.read(1)[0]
        file.seek(0x400)
        file.write(bytes([byte ^ 0xFF]))
    check(not verifies(certificate, tampered)[0], "a signed image changed afterwards does not verify")

    # A release's credentials: one password-protected bundle, the password in a file.
    password, bundle, from_bundle = (os.path.join(work, name) for name in ("pass", "bundle.pfx", "bundle.exe"))
    with open(password, "w") as file:
        file.write("throwaway password\n")
    run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", bundle, "-passout",
         "file:" + password])
    status, output = run([SIGN, "--pkcs12", bundle, "--pass-file", password, image, from_bundle])
    check(status == 0 and verifies(certificate, from_bundle)[0], "signed from the bundle (%d)" % status, output)
    with open(password, "w") as file:
        file.write("wrong password\n")
    status, output = run([SIGN, "--pkcs12", bundle, "--pass-file", password, image, from_bundle + ".2"])
    check(status != 0 and not os.path.exists(from_bundle + ".2") and no_partial_file(work),
          "a wrong password leaves nothing", output)
    status, output = run([SIGN, "--cert", certificate, signed])
    check(status == 2, "scripts/sign without a key: exit 2, got %d" % status, output)

    # The signature sits in the image's certificate table; the program must still load and run.
    for word, expected in (("removetray", 6), ("def.set", 4)):
        status, output = run([os.path.join(SOURCE_DIR, "scripts", "wine-run"), "--prefix=" +
                              os.path.join(build_dir, "wineprefix"), signed, word], timeout=120)
        check(status == expected, "the signed orvinst.exe %s: exit %d, expected %d" % (word, status, expected), output)


def reproducible(build_dir, image, work):
    # Another source folder and another build folder, both of another length.
    source, again = os.path.join(work, "checkout", "elsewhere"), os.path.join(work, "b")
    shutil.copytree(SOURCE_DIR, source, symlinks=True, ignore=lambda folder, names: [
        n for n in names if n == "__pycache__" or (folder == SOURCE_DIR and n in ("build", ".git"))])
    for command in (["cmake", "--preset", "win64", "-B", again],
                    ["cmake", "--build", again, "--target", "orvinst", "-j", str(os.cpu_count() or 2)]):
        status, output = run(command, cwd=source)
        if status != 0:
            return check(False, " ".join(command), output)
    with open(image, "rb") as first, open(os.path.join(again, "bin", "orvinst.exe"), "rb") as second:
        a, b = first.read(), second.read()
    differing = [hex(i) for i in range(min(len(a), len(b))) if a[i] != b[i]]
    check(a == b, "the second build differs: %d and %d bytes, at %s" % (len(a), len(b), differing[:10]))


def main(argv):
    if len(argv) != 3 or argv[0] != "--build-dir" or argv[2] not in ("image", "signing", "reproducible"):
        print(__doc__)
        return 2
    build_dir = os.path.abspath(argv[1])
    work = tempfile.mkdtemp(prefix="release-", dir=build_dir if argv[2] == "signing" else None)
    try:
        globals()[argv[2]](build_dir, os.path.join(build_dir, "bin", "orvinst.exe"), work)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in FAILURES:
        print("FAILED: " + failure)
    print("%s: %s" % (argv[2], "FAILED" if FAILURES else "passed"))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
