#!/usr/bin/python3
"""Signs the built brolendavir.exe and the detection script the way a release does (scripts/sign),
with a throwaway self-signed code-signing certificate made here by openssl, and checks the outcome.

    check_signing.py SIGN_SCRIPT EXE EPOCH ICO DETECTION_SCRIPT
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

HERE = os.path.dirname(os.path.abspath(__file__))
SIGN, EXE, EPOCH, ICO, SCRIPT = (sys.argv[1:6] + [None] * 5)[:5]
PASSWORD = 'throwaway pass phrase'
SIGNING_TIME = '1796688000'
# Configuration Manager: "The maximum size for a script is 32 KB" (read as 32,000 bytes), "Create
# applications in Configuration Manager" (Detection Method), learn.microsoft.com/en-us/mem/
# configmgr/apps/deploy-use/create-applications; Intune documents none for a detection script.
SCRIPT_SIZE_LIMIT = 32000


def run(argv, **env_extra):
    env = dict(os.environ, **env_extra)
    return subprocess.run(argv, env=env, stdin=subprocess.DEVNULL, capture_output=True, text=True)


def make_certificate(folder, name, password):
    """A self-signed code-signing certificate: NAME.pem, and NAME.pfx with its key."""
    key, cert, pfx = (os.path.join(folder, name + ext) for ext in ('.key', '.pem', '.pfx'))
    subprocess.run(['openssl', 'req', '-x509', '-newkey', 'rsa:2048', '-nodes', '-days', '2',
                    '-subj', '/CN=brolendavir test signer ' + name, '-keyout', key, '-out', cert,
                    '-addext', 'extendedKeyUsage=codeSigning'], check=True, capture_output=True)
    subprocess.run(['openssl', 'pkcs12', '-export', '-inkey', key, '-in', cert, '-out', pfx,
                    '-passout', 'env:PFX_PASSWORD'], check=True, capture_output=True,
                   env=dict(os.environ, PFX_PASSWORD=password))
    return cert, pfx


class Signing(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.temp = tempfile.TemporaryDirectory()
        cls.dir = cls.temp.name
        cls.cert, cls.pfx = make_certificate(cls.dir, 'signer', PASSWORD)
        cls.other_cert, _ = make_certificate(cls.dir, 'other', PASSWORD)
        # The script as a release ships it, with Windows line ends.
        cls.script = os.path.join(cls.dir, 'detect-removal.ps1')
        cls.script_text = Path(SCRIPT).read_bytes().replace(b'\n', b'\r\n')
        Path(cls.script).write_bytes(cls.script_text)

    @classmethod
    def tearDownClass(cls):
        cls.temp.cleanup()

    def sign(self, out_name, pfx=None, password=PASSWORD, source=EXE):
        out = os.path.join(self.dir, out_name)
        done = run([SIGN, source, out], SIGN_PFX=pfx or self.pfx, SIGN_PFX_PASSWORD=password,
                   SIGN_TIME=SIGNING_TIME)
        return done, out

    def signed(self, out_name, source):
        done, out = self.sign(out_name, source=source)
        self.assertEqual(done.returncode, 0, done.stderr)
        return out, Path(out).read_bytes()

    def verify(self, path, ca_file):
        return run(['osslsigncode', 'verify', '-CAfile', ca_file, '-in', path])

    def test_signed_files_verify_reproduce_and_keep_what_they_sign(self):
        for name, source, ext in (('program', EXE, '.exe'), ('script, CRLF', self.script, '.ps1'),
                                  ('script as built, LF', SCRIPT, '.ps1')):
            with self.subTest(name):
                unsigned = Path(source).read_bytes()
                first_path, signed = self.signed('first' + ext, source)
                self.assertNotEqual(signed, unsigned)
                self.assertEqual(self.signed('second' + ext, source)[1], signed,
                                 'two signings at one signing time differ')
                self.assertEqual(Path(source).read_bytes(), unsigned, 'signing changed the file it signed')
                unsigned = self.script_text if ext == '.ps1' else unsigned

                by_signer = self.verify(first_path, self.cert)
                self.assertEqual(by_signer.returncode, 0, by_signer.stdout + by_signer.stderr)
                self.assertIn('SHA256', by_signer.stdout)
                self.assertNotEqual(self.verify(first_path, self.other_cert).returncode, 0,
                                    'the signature verifies against a certificate that did not sign it')
                if ext == '.exe':
                    properties = run([sys.executable, os.path.join(HERE, 'check_exe.py'), first_path,
                                      EPOCH, ICO])
                    self.assertEqual(properties.returncode, 0, properties.stdout + properties.stderr)
                else:
                    # PowerShell reads the block as comments after the script's own text, and
                    # checks the digest of that text, UTF-16LE with CRLF line ends (#3361).
                    self.assertEqual(signed[:len(unsigned)], unsigned, 'not the text with CRLF')
                    block = signed[len(unsigned):]
                    self.assertTrue(block.startswith(b'\r\n# SIG # Begin signature block\r\n') and
                                    block.endswith(b'# SIG # End signature block\r\n'), block[:80])
                    digest = hashlib.sha256(unsigned.decode('ascii').encode('utf-16-le')).hexdigest()
                    self.assertRegex(by_signer.stdout, rf'Current message digest *: *{digest.upper()}\b')
                    self.assertLess(len(signed), SCRIPT_SIZE_LIMIT, 'too big for a detection script')

    def test_a_wrong_password_or_a_damaged_pfx_writes_nothing(self):
        data = bytearray(Path(self.pfx).read_bytes())
        data[len(data) // 2] ^= 0xFF
        damaged, truncated = (os.path.join(self.dir, name) for name in ('damaged.pfx', 'truncated.pfx'))
        Path(damaged).write_bytes(data)
        Path(truncated).write_bytes(data[:len(data) // 3])

        for name, pfx, password in (('wrong password', self.pfx, 'not the pass phrase'),
                                    ('damaged PFX', damaged, PASSWORD),
                                    ('truncated PFX', truncated, PASSWORD)):
            with self.subTest(name):
                done, out = self.sign('refused.exe', pfx, password)
                self.assertNotEqual(done.returncode, 0)
                self.assertIn('the password is wrong or the file is damaged', done.stderr)
                self.assertEqual([n for n in os.listdir(self.dir) if n.startswith('refused')], [])


if __name__ == '__main__':
    unittest.main(argv=sys.argv[:1], verbosity=2)
