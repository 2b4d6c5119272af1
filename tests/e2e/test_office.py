"""The stand-in laid as Office lays Excel (standin.exe /regoffice), with Excel's own bookkeeping of the
user's add-ins, under one run of the real program (a ctest group, e2e_OfficeBookkeeping): the
registration the rule reads, the OPEN values read at start and written back once asked to quit (an
uninstalled add-in's value gone, the others kept with their text and numbered again, the uninstalled
one listed under Add-in Manager), and a host still closing after "quit" writing only as it closes.
The pipeline under Wine 10 (tests/pipeline) runs the rule on such machines."""
import os
import pathlib
import shutil
import subprocess
import unittest

import invariants
import wineprefix
from machine import RUN_BOUND, OnMachine, run_laid_out
from run_model import ADDIN, ADDIN_FILE, KEY
from wineprefix import QUIET

OFFICE = r'C:\Program Files\Microsoft Office\root\Office16'
EXCEL = OFFICE + r'\EXCEL.EXE'
CLSID = '{c5041cc6-1726-4c76-8dbf-19b0f1b69f17}'
USER_EXCEL = r'HKEY_CURRENT_USER\Software\Microsoft\Office\16.0\Excel'
CLICK_TO_RUN = (r'HKEY_LOCAL_MACHINE\Software\Microsoft\Office\ClickToRun\REGISTRY\MACHINE\Software\Microsoft'
                r'\Office\16.0\Excel\InstallRoot')
OTHER = r'C:\Other\Other.xla'
LATER = r'C:\Later\Later.xlam'
UNUSED = r'C:\Unused\Unused.xla'

# The user's Options values as laid: OPEN1 names the add-in, which the run uninstalls; OPEN5 comes
# after a gap; the last two are no OPEN values (and OPEN2, laid below, is no text). As the host that
# quit left them: the add-in's value gone, the others kept with their text, numbered from OPEN again.
OPTIONS = [('OPEN', '/R "%s"' % OTHER), ('OPEN1', '"%s"' % ADDIN), ('OPEN5', '"%s"' % LATER),
           ('OPEN1_', 'not an add-in'), ('OPEN1.old', 'not an add-in')]
WRITTEN = {'OPEN': '/R "%s"' % OTHER, 'OPEN1': '"%s"' % LATER, 'OPEN1_': 'not an add-in', 'OPEN1.old': 'not an add-in'}


def reg_text(text):
    return '"%s"' % text.replace('\\', '\\\\').replace('"', '\\"')


class OfficeBookkeeping(OnMachine):
    maxDiff = None

    def wine(self, *argv):
        return subprocess.run([wineprefix.WINE, *argv], env=self.machine.env, cwd=self.machine.prefix.drive_c(),
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=RUN_BOUND)

    def lay_office(self, machine):
        excel = machine.unix(EXCEL)
        machine.clients.add('excel.exe')  # waited for, as the host is, once the program has ended
        os.makedirs(os.path.dirname(excel), exist_ok=True)
        shutil.copyfile(machine.host, excel)
        self.assertEqual(self.wine(excel, '/regoffice').returncode, 0)
        lines = ['Windows Registry Editor Version 5.00', '', '[%s\\Options]' % USER_EXCEL]
        lines += ['%s=%s' % (reg_text(name), reg_text(text)) for name, text in OPTIONS]
        lines += ['"OPEN2"=dword:00000001', '', '[%s\\Add-in Manager]' % USER_EXCEL, '%s=""' % reg_text(UNUSED), '']
        reg = machine.unix(r'C:\standin\user.reg')
        pathlib.Path(reg).write_text('\r\n'.join(lines), encoding='utf-16')
        self.assertEqual(self.wine('regedit', '/S', reg).returncode, 0)
        os.remove(reg)
        machine.file(ADDIN)
        # The host closes a second after "quit"; the run does not wait for it.
        machine.scenario('2 linger 1\n')

    def values(self, key):
        """name -> data of a key's values in the 64-bit view, as reg.exe shows them."""
        found = {}
        for line in self.wine('reg', 'query', key, '/reg:64').stdout.splitlines():
            parts = line.strip().split('    ')
            if len(parts) == 3 and parts[1].startswith('REG_'):
                found[parts[0]] = parts[2]
            elif len(parts) == 2 and parts[1] == 'REG_SZ':
                found[parts[0]] = ''
        return found

    def test_excel_keeps_the_users_add_ins_where_the_rule_reads_them(self):
        outcome = run_laid_out(self.machine, self.lay_office)
        found = invariants.check(self.machine, outcome)
        self.assertEqual(invariants.failed(found), [], '\n'.join([invariants.summary(found)] + outcome.journal.plain()))
        # Registered as Office registers Excel.
        self.assertEqual(self.values(r'HKEY_CLASSES_ROOT\Excel.Application\CLSID'), {'(Default)': CLSID})
        self.assertEqual(self.values(r'HKEY_CLASSES_ROOT\CLSID\%s\LocalServer32' % CLSID),
                         {'(Default)': '"%s" /automation' % EXCEL})
        self.assertEqual(self.values(CLICK_TO_RUN), {'Path': OFFICE + '\\'})
        # The add-in went, from the disk and from the list; the rest of the list is kept.
        self.assertIsNone(self.machine.files()[ADDIN])
        self.assertEqual(self.values(USER_EXCEL + r'\Options'), dict(WRITTEN, OPEN2='0x1'))
        self.assertEqual(self.values(USER_EXCEL + r'\Add-in Manager'), {UNUSED: '', ADDIN: ''})
        host = [line for line in outcome.journal.plain() if ' host ' in line and 'registered' not in line]
        appdata = next(line for line in outcome.journal.plain() if 'get StartupPath' in line)
        self.assertTrue(appdata.endswith(r'\AppData\Roaming\Microsoft\Excel\XLSTART'), appdata)
        read = ['host read %s=%s' % option for option in OPTIONS[:3]] + ['host read Add-in Manager ' + UNUSED]
        first = ['1 host start client=brolendavir.exe'] + ['1 ' + r for r in read] + ['1 host lastref', '1 host end released']
        # Only the instance asked to quit writes, once it has closed: every OPEN value it met goes
        # (in the registry's order), then the list is written in its order.
        second = (['2 host start client=brolendavir.exe'] + ['2 ' + r for r in read] + ['2 host lastref', '2 host linger 1']
                  + ['2 host deleted'] * 3
                  + ['2 host wrote OPEN=%s' % WRITTEN['OPEN'], '2 host wrote Add-in Manager ' + ADDIN,
                     '2 host wrote OPEN1=%s' % WRITTEN['OPEN1'], '2 host wrote Add-in Manager ' + UNUSED, '2 host end quit'])
        self.assertEqual([line for line in host if line.startswith('1 ')], first)
        self.assertEqual([line.split('=')[0] if ' deleted ' not in line else '2 host deleted'
                          for line in host if line.startswith('2 ')], [line.split('=')[0] for line in second])
        self.assertEqual(sorted(line for line in host if ' deleted ' in line),
                         ['2 host deleted ' + name for name in ('OPEN', 'OPEN1', 'OPEN5')])
        self.assertEqual([line for line in host if ' wrote ' in line], [line for line in second if ' wrote ' in line])


if __name__ == '__main__':
    unittest.main()
