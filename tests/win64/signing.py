#!/usr/bin/env python3
"""Signs the built orvinst.exe the way a release is signed (scripts/sign), with a throwaway
self-signed certificate, and checks the result: osslsigncode verifies the signature against that
certificate, it does not verify the unsigned image or a signed one changed afterwards, and the
signed program still runs under Wine.

    signing.py --build-dir DIR
"""

import os
import shutil
import subprocess
import sys
import tempfile

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SIGN = os.path.join(SOURCE_DIR, "scripts", "sign")
WINE_RUN = os.path.join(SOURCE_DIR, "scripts", "wine-run")


def run(command, **options):
    result = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                            text=True, **options)
    return result.returncode, result.stdout


def verify(certificate, image):
    return run(["osslsigncode", "verify", "-CAfile", certificate, "-in", image])


def main(argv):
    if len(argv) != 2 or argv[0] != "--build-dir":
        print(__doc__)
        return 2
    build_dir = os.path.abspath(argv[1])
    image = os.path.join(build_dir, "bin", "orvinst.exe")
    failures = []

    def check(ok, what, output=""):
        if not ok:
            failures.append(what + ("\n    " + output.strip().replace("\n", "\n    ") if output else ""))

    work = tempfile.mkdtemp(prefix="signing-", dir=build_dir)
    try:
        key, certificate = os.path.join(work, "key.pem"), os.path.join(work, "cert.pem")
        status, output = run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key,
                              "-out", certificate, "-days", "2", "-subj", "/O=Corvane/CN=Corvane test signing",
                              "-addext", "extendedKeyUsage=codeSigning", "-addext", "keyUsage=digitalSignature"])
        if status != 0:
            print("FAILED: making the throwaway certificate:\n" + output)
            return 1
        # The release road: a copy of the build's image, signed in place.
        signed = os.path.join(work, "drv", "orvinst.exe")
        os.makedirs(os.path.dirname(signed))
        shutil.copy2(image, signed)
        status, output = run([SIGN, "--cert", certificate, "--key", key, signed])
        check(status == 0, "scripts/sign failed (%d)" % status, output)
        check(not any(name.startswith(".signing.") for name in os.listdir(os.path.dirname(signed))),
              "scripts/sign left its partial file behind")

        status, output = verify(certificate, signed)
        check(status == 0 and "Signature verification: ok" in output, "the signed image does not verify", output)
        check("Text description: Orvandelle installer" in output, "the signature names the program", output)
        status, output = verify(certificate, image)
        check(status != 0, "the unsigned image verifies", output)
        tampered = os.path.join(work, "tampered.exe")
        shutil.copy2(signed, tampered)
        with open(tampered, "r+b") as file:
            file.seek(0x400)
            byte = file.read(1)
            file.seek(0x400)
            file.write(bytes([byte[0] ^ 0xFF]))
        status, output = verify(certificate, tampered)
        check(status != 0, "a signed image changed afterwards still verifies", output)

        # A release's credentials: one password-protected bundle, the password in a file.
        password, bundle = os.path.join(work, "bundle.pass"), os.path.join(work, "bundle.pfx")
        with open(password, "w") as file:
            file.write("throwaway password\n")
        status, output = run(["openssl", "pkcs12", "-export", "-inkey", key, "-in", certificate, "-out", bundle,
                              "-passout", "file:" + password])
        check(status == 0, "making the throwaway bundle", output)
        from_bundle = os.path.join(work, "from-bundle.exe")
        status, output = run([SIGN, "--pkcs12", bundle, "--pass-file", password, image, from_bundle])
        check(status == 0, "scripts/sign with a bundle and its password failed (%d)" % status, output)
        status, output = verify(certificate, from_bundle)
        check(status == 0 and "Signature verification: ok" in output, "the image signed from the bundle does not verify",
              output)
        with open(password, "w") as file:
            file.write("wrong password\n")
        status, output = run([SIGN, "--pkcs12", bundle, "--pass-file", password, image, from_bundle + ".2"])
        check(status != 0 and not os.path.exists(from_bundle + ".2"), "a wrong password signs anyway", output)
        check(not any(name.startswith(".signing.") for name in os.listdir(work)),
              "a failed signing left its partial file behind")

        status, output = run([SIGN, "--cert", certificate, signed])
        check(status == 2, "scripts/sign without a key: exit 2, got %d" % status, output)

        # The signature sits in the image's certificate table; the program must still load and
        # run its commands.
        prefix = os.path.join(build_dir, "wineprefix")
        for word, expected in (("removetray", 6), ("def.set", 4)):
            status, output = run([WINE_RUN, "--prefix=" + prefix, signed, word], timeout=120)
            check(status == expected, "the signed orvinst.exe %s: exit %d, expected %d" % (word, status, expected),
                  output)
    finally:
        shutil.rmtree(work, ignore_errors=True)
    for failure in failures:
        print("FAILED: " + failure)
    print("signing: %s" % ("FAILED" if failures else "passed"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
