"""End-to-end: the real program under Wine against the stand-in host, one prefix per test class.

Each case lays out a scenario and files, runs the program once, and checks the host's journal,
the files and the processes left. Every run is also held to what holds for all runs (check_run).
Run by ctest with E2E_TEMPLATE, E2E_PROGRAM and E2E_HOST set; see tests/e2e/CMakeLists.txt.
"""
import os
import re
import unittest

from machine import HIDDEN, SYSTEM, Machine, run_laid_out

# Where the sample machine keeps things.
STARTUP = r'C:\excel\xlstart'
LIBRARY = r'C:\excel\library'
STARTUP_COPY = STARTUP + r'\QuantorelixExcelLink.xla'
LIBRARY_COPY = LIBRARY + r'\QuantorelixExcelLink.xla'
ROOT_COPY = r'C:\QuantorelixExcelLink.xla'     # what an empty folder text names
ADDIN = r'C:\addins\QuantorelixExcelLink.xla'
OTHER = r'C:\addins\solver.xla'
SECOND = r'C:\Old Office\Library\QuantorelixExcelLink.xla'

# The member names exactly as the program spells them; the host matches any case, so a
# different spelling would go unnoticed by a real host but not here.
SPELLINGS = {'StartupPath', 'LibraryPath', 'Workbooks', 'Add', 'addins', 'fullname', 'installed', 'quit'}
# What a host answers to a client that calls a member the wrong way.
MISUSE = ('fail:80020003', 'fail:8002000E', 'fail:80020004', 'fail:80020001')
FAILURE = 'fail:80020009'   # how a real host reports a failing member (DISP_E_EXCEPTION)
# The answers of a busy host: RPC_E_CALL_REJECTED, RPC_E_SERVERCALL_RETRYLATER, VBA_E_IGNORE.
REJECTED, RETRY_LATER, IGNORED = '80010001', '8001010A', '800AC472'
CALL_BOUND = 41             # the first ask and at most 40 more, of one call of a busy host

BASE = '1 StartupPath str:%s\n1 LibraryPath str:%s\n' % (STARTUP, LIBRARY)


def lay_sample(machine, extra=()):
    """The two copies, the add-in file, an unrelated add-in and a file beside the copies."""
    for path in (STARTUP_COPY, LIBRARY_COPY, ROOT_COPY, ADDIN, OTHER, STARTUP + r'\personal.xlsb'):
        machine.file(path)
    for path in extra:
        machine.file(path)


def lay_for(scenario):
    """The sample, plus a file for each plain path an add-in's full name gives."""
    paths = []
    for answers in re.findall(r'^\* addin (.*)$', scenario, re.M):
        for value in answers.split(' | '):
            path = value[4:] if value.startswith('str:') else ''
            if path and not re.search(r'[*?]|<NUL>|\\gone\\', path):
                paths.append(path)

    def lay(machine):
        lay_sample(machine)
        for path in dict.fromkeys(paths):
            if path not in machine.laid:
                machine.file(path)
    return lay


def addins(*names):
    return ''.join('* addin str:%s\n' % n for n in names)


def subsequence(wanted, lines):
    """True when the wanted texts occur in lines in this order, each within one line."""
    at = 0
    for text in wanted:
        while at < len(lines) and text not in lines[at]:
            at += 1
        if at == len(lines):
            return False
        at += 1
    return True


class EndToEnd(unittest.TestCase):
    maxDiff = None
    register = True

    @classmethod
    def setUpClass(cls):
        cls.machine = Machine(os.environ['E2E_TEMPLATE'], os.environ['E2E_HOST'],
                              os.environ['E2E_PROGRAM'], register=cls.register)

    @classmethod
    def tearDownClass(cls):
        cls.machine.close()

    def setUp(self):
        self.machine.reset()

    def run_case(self, scenario, deleted=(), lay=None):
        """Lays out the files and the scenario, runs, and checks the files and what holds for all runs."""
        def lay_out(machine):
            (lay or lay_for(scenario))(machine)
            machine.scenario(scenario)
        outcome = run_laid_out(self.machine, lay_out)
        self.check_run(outcome)
        self.check_files(deleted)
        return outcome

    def check_run(self, outcome):
        self.assertEqual(outcome.status, 0, 'exit status (or a hang)')
        self.assertEqual(outcome.left_running, [], 'processes left once the program had ended')
        journal = outcome.journal
        for instance in outcome.instances():
            lines = outcome.of(instance)
            self.assertEqual(lines[0], 'host start client=brolendavir.exe', instance)
            self.assertTrue(lines[-1].startswith('host end '), lines[-1])
            self.assertNotIn('timeout', lines[-1], 'the host had to end by its own bound')
            for before, line in zip([''] + lines, lines):
                # Every call names its member afresh, in English, as the program spells it; a
                # call the host turned away as busy is asked again as it was.
                match = re.match(r'(\S+) (get|put|call|call\+get|putref|none) (\S+) ', line)
                if match and not match.group(3).startswith('#'):
                    asked_again = before.startswith(line.split(' -> ')[0] + ' -> busy:')
                    self.assertTrue(asked_again or before.startswith('%s names %s ' % (match.group(1), match.group(3))),
                                    'no fresh GetIDsOfNames before: ' + line)
        for line in journal:
            self.assertNotIn('-> unknown', line, 'a member outside the table')
            for lcid in re.findall(r'lcid=(\w+)', line):
                self.assertEqual(lcid, '0409', line)
            names = re.match(r'\d+ \S+ names (\S+) ', line)
            if names:
                self.assertIn(names.group(1), SPELLINGS, line)
            for misuse in MISUSE:
                self.assertNotIn(misuse, line, 'a member called the wrong way')

    def check_files(self, deleted):
        now = self.machine.files()
        for path, laid in self.machine.laid.items():
            if path in deleted:
                self.assertIsNone(now[path], 'should be deleted: ' + path)
            else:
                self.assertEqual(now[path], laid, 'should be untouched: ' + path)
        self.assertEqual(self.machine.strays(), [], 'files that appeared')

    def check_table(self, cases):
        """Cases of (name, scenario, files deleted, journal lines wanted in order, texts unwanted)."""
        for name, scenario, deleted, wanted, unwanted in cases:
            with self.subTest(name):
                outcome = self.run_case(scenario, deleted)
                self.check_journal(outcome, wanted, unwanted)

    def check_journal(self, outcome, wanted, unwanted=()):
        lines = [strip(line) for line in outcome.journal]
        shown = '\n'.join(['wanted in order:'] + wanted + ['journal:'] + lines)
        self.assertTrue(subsequence(wanted, lines), shown)
        for text in unwanted:
            self.assertFalse(any(text in line for line in lines), 'unwanted: ' + text + '\n' + shown)
        # The full name of each add-in named is read exactly as often as wanted.
        for read in {re.match(r'\d+ addin\d+ get fullname', w).group(0) for w in wanted
                     if re.match(r'\d+ addin\d+ get fullname', w)}:
            self.assertEqual(sum(line.startswith(read + ' ') for line in lines),
                             sum(w == read or w.startswith(read + ' ') for w in wanted), read + '\n' + shown)


def strip(line):
    return line.replace(' lcid=0409', '')


def walked(addin, fullname, reads=3, uninstalled=True):
    """What the journal shows of one matching add-in visited by the walk."""
    lines = ['2 %s get fullname -> str:%s' % (addin, fullname)]
    if uninstalled:
        lines += ['2 %s put installed args=bool:0 named=-3 -> ok' % addin, '2 %s uninstalled' % addin]
    lines += ['2 %s get fullname -> str:%s' % (addin, fullname)] * (reads - 1)
    return lines


# After "quit" the run lets go of everything, the walk's collection last, so the host ends on its
# last release and not when it finds its client gone.
QUIT = ['2 app call quit -> ok', '2 app released', '2 enum released', '2 addins released',
        '2 host lastref', '2 host end quit']


class HostContract(EndToEnd):
    """The stand-in itself, driven by a probe client: a test double that broke a contract of the
    real host would let the program pass for the wrong reason."""

    def test_the_host_keeps_the_real_hosts_contracts(self):
        output = os.path.join(self.machine.prefix.root, 'probe.txt')
        self.machine.scenario(addins(ADDIN, OTHER) + '1 busy names:Workbooks 1 %s\n1 busy Add 1 %s\n'
                              '1 busy next 1 %s\n' % (REJECTED, IGNORED, RETRY_LATER))
        outcome = self.machine.run(os.environ['E2E_PROBE'], output)
        self.assertEqual(outcome.status, 0)
        self.assertEqual(outcome.left_running, [])
        with open(output) as f:
            self.assertEqual(f.read().splitlines(), [
                'progid 00000000',
                'create 00000000',
                'lookup STARTUPPATH 00000000',          # any case
                'get STARTUPPATH 00000000',
                'call STARTUPPATH 80020003',            # a property is not a method
                'lookup Visible 80020006',              # outside the table: DISP_E_UNKNOWNNAME
                'lookup fullname on the application 80020006',
                'get AddIns 00000000',
                'newenum 00000000',
                'enumerator 00000000',
                'next while busy 8001010A', 'fetched 0',  # a busy answer reaches the client as it stands
                'next 3 00000001', 'fetched 2',         # fewer than asked: S_FALSE, count set
                'next 1 at the end 00000001', 'fetched 0',
                'reset 00000000',
                'skip 1 00000000',
                'skip 5 00000001',
                'put Installed without a workbook 80020009',
                'lookup Workbooks while busy 80010001',
                'lookup Workbooks 00000000',
                'get Workbooks 00000000',
                'call Add while busy 800AC472',
                'call Add 00000000',
                'put Installed 00000000',
                'get Installed 00000000', 'installed 0',
                'put FullName 80020003',                # read-only
                'call Quit 00000000',
            ])
        journal = [strip(line) for line in outcome.journal]
        for line in ['1 host start client=host_probe.exe',
                     '1 app names Visible -> unknown',
                     '1 app call STARTUPPATH -> fail:80020003',
                     '1 enum next celt=3 -> busy:8001010A fetched=0',
                     '1 enum next celt=3 -> S_FALSE fetched=2 obj:addin1 obj:addin2',
                     '1 addin2 put Installed args=bool:0 named=-3 -> fail:80020009',
                     '1 app names Workbooks -> busy:80010001',
                     '1 books call Add -> busy:800AC472',
                     '1 books call Add -> obj:book',
                     '1 addin2 put Installed args=bool:0 named=-3 -> ok',
                     '1 addin2 uninstalled',
                     '1 addin2 get Installed -> bool:0']:
            self.assertIn(line, journal)
        # Released by its client after "quit", the host ends by itself.
        self.assertEqual(journal[-2:], ['1 host lastref', '1 host end quit'])


class PlainRun(EndToEnd):
    def test_the_whole_journal_of_a_plain_run(self):
        folder_addin = r'C:\Tools\QuantorelixExcel\tools.xla'
        outcome = self.run_case(
            BASE + addins(ADDIN, OTHER, folder_addin),
            deleted={ADDIN, folder_addin, STARTUP_COPY, LIBRARY_COPY},
            lay=lambda m: lay_sample(m, [folder_addin]))
        self.assertEqual(outcome.instances(), [1, 2])
        with self.subTest('the first instance'):
            self.check_first_instance(outcome)
        with self.subTest('the second instance'):
            self.check_second_instance(outcome, folder_addin)
        with self.subTest('the first instance is released once the second is in hand'):
            journal = outcome.journal
            self.assertLess(journal.index('2 factory create -> obj:app'), journal.index('1 app released'))

    def check_first_instance(self, outcome):
        self.assertEqual(outcome.of(1), [
            'host start client=brolendavir.exe',
            'host registered',
            'factory create -> obj:app',
            'app names StartupPath lcid=0409 -> 1',
            r'app get StartupPath lcid=0409 -> str:C:\excel\xlstart',
            'app names LibraryPath lcid=0409 -> 2',
            r'app get LibraryPath lcid=0409 -> str:C:\excel\library',
            'app released',
            'host lastref',
            'host end released',
        ])

    def check_second_instance(self, outcome, folder_addin):
        addin_lines = []
        for n, (fullname, matches) in enumerate([(ADDIN, True), (OTHER, False), (folder_addin, True)], 1):
            a = 'addin%d' % n
            addin_lines += ['enum next celt=1 -> S_OK fetched=1 obj:' + a]
            if n > 1:
                addin_lines += ['addin%d released' % (n - 1)]
            addin_lines += ['%s names fullname lcid=0409 -> 1' % a,
                            '%s get fullname lcid=0409 -> str:%s' % (a, fullname)]
            if matches:
                addin_lines += ['%s names installed lcid=0409 -> 2' % a,
                                '%s put installed lcid=0409 args=bool:0 named=-3 -> ok' % a,
                                '%s uninstalled' % a]
                addin_lines += ['%s names fullname lcid=0409 -> 1' % a,
                                '%s get fullname lcid=0409 -> str:%s' % (a, fullname)] * 2
        self.assertEqual(outcome.of(2), [
            'host start client=brolendavir.exe',
            'host registered',
            'factory create -> obj:app',
            'app names Workbooks lcid=0409 -> 3',
            'app get Workbooks lcid=0409 -> obj:books',
            'books names Add lcid=0409 -> 1',
            'books call Add lcid=0409 -> obj:book',
            'book released',
            # The workbook collection is a passing value, not part of what the run holds.
            'books released',
            'app names addins lcid=0409 -> 4',
            'app get addins lcid=0409 -> obj:addins',
            'addins call+get #-4 lcid=0409 -> unk:enum',
        ] + addin_lines + [
            'enum next celt=1 -> S_FALSE fetched=0',
            'app names quit lcid=0409 -> 5',
            'app call quit lcid=0409 -> ok',
            'addin3 released',
            'app released',
            # The add-in collection and its enumerator are held until the run's last step, and let
            # go before the process ends: the host ends on that release.
            'enum released',
            'addins released',
            'host lastref',
            'host end quit',
        ])


class Folders(EndToEnd):
    def test_folder_texts(self):
        self.check_table([
            ('a folder text ending in a backslash is passed on with two backslashes',
             '1 StartupPath str:%s\\\n1 LibraryPath str:%s\\\n' % (STARTUP, LIBRARY) + addins(OTHER),
             {STARTUP_COPY, LIBRARY_COPY}, [], []),
            ('an empty folder text names the file at the root of the current drive',
             '1 StartupPath str:\n1 LibraryPath str:%s\n' % LIBRARY + addins(OTHER),
             {ROOT_COPY, LIBRARY_COPY}, ['1 app get StartupPath -> str:'], []),
            ('both empty: the root copy is deleted once and then not found',
             '1 StartupPath str:\n1 LibraryPath str:\n' + addins(OTHER), {ROOT_COPY}, [], []),
            ('folders that hold no copy',
             '1 StartupPath str:C:\\nowhere\n1 LibraryPath str:C:\\excel\n' + addins(OTHER), set(), [], []),
            ('folders are read from the first instance only',
             BASE + '2 StartupPath str:C:\\\n2 LibraryPath str:C:\\\n' + addins(OTHER),
             {STARTUP_COPY, LIBRARY_COPY}, [], ['2 app get StartupPath', '2 app get LibraryPath']),
        ])


class Walk(EndToEnd):
    def test_which_addins_are_taken_out(self):
        upper = r'C:\ADDINS2\QUANTORELIXEXCELLINK.XLA'
        folder = r'C:\Tools\QuantorelixExcel\tools.xla'
        mixed = r'C:\addins\qUaNtOrElIxExCeL.old'
        cases = [
            ('no add-in matches: no uninstall, no deletion by the walk; copies still go',
             BASE + addins(OTHER, r'C:\addins\Quantorelix Excel.xla', r'C:\addins\QuantorelixExce.xla'),
             {STARTUP_COPY, LIBRARY_COPY}, QUIT, ['put installed']),
            ('several match: each is uninstalled then deleted, in the collection\'s order',
             BASE + addins(ADDIN, OTHER, SECOND), {ADDIN, SECOND, STARTUP_COPY, LIBRARY_COPY},
             walked('addin1', ADDIN) + ['2 enum next', '2 addin2 get fullname'] + walked('addin3', SECOND) + QUIT,
             ['addin2 put']),
            ('the key matches anywhere and in any case',
             BASE + addins(upper, folder, mixed), {upper, folder, mixed, STARTUP_COPY, LIBRARY_COPY},
             walked('addin1', upper) + walked('addin2', folder) + walked('addin3', mixed), []),
            ('a matching add-in that is the library copy is deleted by the walk',
             BASE + addins(LIBRARY_COPY), {LIBRARY_COPY, STARTUP_COPY}, walked('addin1', LIBRARY_COPY), []),
            ('an empty full name never matches',
             BASE + '* addin str:\n' + addins(ADDIN), {ADDIN, STARTUP_COPY, LIBRARY_COPY},
             ['2 addin1 get fullname -> str:'] + walked('addin2', ADDIN), ['addin1 put']),
            ('a matching add-in whose file is gone is uninstalled, and nothing is deleted for it',
             BASE + addins(r'C:\addins\gone\QuantorelixExcelLink.xla', ADDIN),
             {ADDIN, STARTUP_COPY, LIBRARY_COPY},
             walked('addin1', r'C:\addins\gone\QuantorelixExcelLink.xla', reads=2) + ['2 enum next']
             + walked('addin2', ADDIN), []),
            ('each full name is read afresh: the third read is what gets deleted',
             BASE + '* addin str:%s | str:%s | str:%s\n' % (ADDIN, ADDIN, OTHER),
             {OTHER, STARTUP_COPY, LIBRARY_COPY}, walked('addin1', ADDIN, reads=2) + [
                 '2 addin1 get fullname -> str:' + OTHER], []),
            ('a path with a wildcard or a NUL names no file',
             BASE + addins(r'C:\addins\QuantorelixExcel*.xla', r'C:\addins\QuantorelixExcelLink.x?a',
                           ADDIN + '<NUL>.txt'),
             {STARTUP_COPY, LIBRARY_COPY},
             walked('addin1', r'C:\addins\QuantorelixExcel*.xla', reads=2)
             + walked('addin2', r'C:\addins\QuantorelixExcelLink.x?a', reads=2)
             + walked('addin3', ADDIN + '<NUL>.txt', reads=2), []),
        ]
        long_path = 'C:\\' + '\\'.join(['a-rather-long-folder-name-%02d' % i for i in range(10)]) \
            + '\\QuantorelixExcelLink.xla'
        self.assertGreater(len(long_path), 260)
        cases.append(('a path over 260 characters is deleted like any other',
                      BASE + addins(long_path), {long_path, STARTUP_COPY, LIBRARY_COPY},
                      walked('addin1', long_path), []))
        self.check_table(cases)

    def test_files_the_file_system_keeps(self):
        """Hidden, system, folder and read-only: not found (or not deletable), left in place."""
        hidden = r'C:\addins\hidden\QuantorelixExcelLink.xla'
        system = r'C:\addins\system\QuantorelixExcelLink.xla'
        folder = r'C:\addins\folder\QuantorelixExcelLink.xla'
        readonly = r'C:\addins\readonly\QuantorelixExcelLink.xla'

        def lay(m, copies):
            m.file(hidden, attribute=HIDDEN)
            m.file(system, attribute=SYSTEM)
            m.folder(folder)
            m.file(folder + r'\inside.txt')
            m.file(readonly, readonly=True)
            m.file(ADDIN)
            copies(m)

        def hidden_copies(m):
            m.file(STARTUP_COPY, attribute=HIDDEN)
            m.file(LIBRARY_COPY, attribute=SYSTEM)

        def folder_and_readonly_copies(m):
            m.folder(STARTUP_COPY)
            m.file(LIBRARY_COPY, readonly=True)

        scenario = BASE + addins(hidden, system, folder, readonly, ADDIN)
        for name, copies in [('hidden and system copies', hidden_copies),
                             ('a folder and a read-only copy', folder_and_readonly_copies)]:
            with self.subTest(name):
                outcome = self.run_case(scenario, {ADDIN}, lay=lambda m: lay(m, copies))
                self.check_journal(outcome, walked('addin1', hidden, reads=2) + walked('addin2', system, reads=2)
                                   + walked('addin3', folder, reads=2) + walked('addin4', readonly, reads=3)
                                   + walked('addin5', ADDIN) + QUIT)


class HostFailures(EndToEnd):
    """A failure at each step on the application: the step is dropped, the rest of the run happens."""

    def test_creation_and_application_members(self):
        walk_and_quit = walked('addin1', ADDIN) + QUIT
        # With no workbook open the host refuses the uninstall; the file still goes.
        refused = ['2 addin1 get fullname -> str:' + ADDIN,
                   '2 addin1 put installed args=bool:0 named=-3 -> ' + FAILURE,
                   '2 addin1 get fullname', '2 addin1 get fullname'] + QUIT
        everything = {ADDIN, STARTUP_COPY, LIBRARY_COPY}
        cases = []
        for name, value in [('fails', FAILURE), ('is a number', 'i4:5'), ('is Null', 'null'),
                            ('is Empty', 'empty'), ('is an object', 'dummy'), ('is nothing', 'nothing')]:
            cases.append(('StartupPath ' + name, BASE + '1 StartupPath %s\n' % value + addins(ADDIN),
                          {ADDIN, LIBRARY_COPY}, walk_and_quit, []))
        cases += [
            ('LibraryPath fails', BASE + '1 LibraryPath %s\n' % FAILURE + addins(ADDIN),
             {ADDIN, STARTUP_COPY}, walk_and_quit, []),
            ('LibraryPath is a number', BASE + '1 LibraryPath r8:2.5\n' + addins(ADDIN),
             {ADDIN, STARTUP_COPY}, walk_and_quit, []),
            ('the first instance is refused: no copy path, the walk still runs',
             BASE + '1 create fail:80004005\n' + addins(ADDIN), {ADDIN},
             ['1 factory create -> fail:80004005', '1 host end refused'] + walk_and_quit,
             ['get StartupPath']),
            ('the first host never registers', BASE + '1 create noregister\n' + addins(ADDIN), {ADDIN},
             ['1 host end unregistered'] + walk_and_quit, ['get StartupPath']),
            ('the second instance is refused: the first gets the workbook, the walk and the quit',
             BASE + '2 create fail:80004005\n' + addins(ADDIN), everything,
             ['1 app get StartupPath', '2 factory create -> fail:80004005', '1 app get Workbooks',
              '1 books call Add', '1 app get addins', '1 addin1 put installed', '1 app call quit -> ok',
              '1 app released', '1 enum released', '1 addins released', '1 host end quit'], []),
            ('no instance can be created: nothing is uninstalled or deleted',
             BASE + '* create fail:80004005\n' + addins(ADDIN), set(),
             ['1 host end refused', '2 host end refused'], [' app ']),
            ('Workbooks fails: no workbook, so the uninstall is refused; the file and copies still go',
             BASE + '2 Workbooks %s\n' % FAILURE + addins(ADDIN), everything,
             refused, ['call Add', 'uninstalled']),
            ('Workbooks is not an object', BASE + '2 Workbooks str:Book1\n' + addins(ADDIN), everything,
             refused, ['call Add', 'uninstalled']),
            ('Workbooks is nothing', BASE + '2 Workbooks nothing\n' + addins(ADDIN), everything,
             refused, ['call Add', 'uninstalled']),
            ('Add fails: the uninstall is refused; the file and copies still go',
             BASE + '2 Add %s\n' % FAILURE + addins(ADDIN), everything,
             ['2 books call Add -> ' + FAILURE] + refused, ['uninstalled']),
            ('addins fails: no add-in is visited', BASE + '2 addins %s\n' % FAILURE + addins(ADDIN),
             {STARTUP_COPY, LIBRARY_COPY}, ['2 app get addins -> ' + FAILURE, '2 app call quit -> ok',
                                           # nothing is held any more: whether the host sees the
                                           # release or its client's end first is Wine's timing
                                           '2 app released', '2 host end '], ['#-4', 'enum']),
            ('addins is not an object', BASE + '2 addins i4:3\n' + addins(ADDIN),
             {STARTUP_COPY, LIBRARY_COPY}, ['2 app call quit -> ok'], ['#-4']),
            ('addins is nothing', BASE + '2 addins nothing\n' + addins(ADDIN),
             {STARTUP_COPY, LIBRARY_COPY}, ['2 app call quit -> ok'], ['#-4']),
            ('quit fails: the copies still go', BASE + '2 quit %s\n' % FAILURE + addins(ADDIN), everything,
             walked('addin1', ADDIN) + ['2 app call quit -> ' + FAILURE, '2 addin1 released',
                                        '2 app released', '2 enum released', '2 addins released',
                                        '2 host lastref', '2 host end released'], []),
        ]
        self.check_table(cases)

    def test_a_busy_host_is_asked_again(self):
        everything = {ADDIN, STARTUP_COPY, LIBRARY_COPY}
        busy_then_served = (BASE + addins(ADDIN) + '1 busy StartupPath 3 %s\n2 busy names:Workbooks 2 %s\n'
                            '2 busy quit 2 %s\n' % (RETRY_LATER, REJECTED, IGNORED))
        outcome = self.run_case(busy_then_served, everything)
        self.check_journal(outcome, [
            r'1 app get StartupPath -> busy:8001010A', r'1 app get StartupPath -> busy:8001010A',
            r'1 app get StartupPath -> busy:8001010A', r'1 app get StartupPath -> str:C:\excel\xlstart',
            '1 app get LibraryPath -> str:' + LIBRARY,
            '2 app names Workbooks -> busy:80010001', '2 app names Workbooks -> busy:80010001',
            '2 app names Workbooks -> 3', '2 app get Workbooks -> obj:books', '2 books call Add -> obj:book',
        ] + walked('addin1', ADDIN) + [
            '2 app call quit -> busy:800AC472', '2 app call quit -> busy:800AC472', '2 app call quit -> ok',
            '2 app released'])
        self.assertEqual(sum(' -> busy:' in line for line in outcome.journal), 3 + 2 + 2)

        # Busy for ever: the step is given up after the call's bound and the run goes on. With no
        # workbook added, the host refuses the uninstall, and the file still goes.
        outcome = self.run_case(BASE + addins(ADDIN) + '1 busy StartupPath forever %s\n2 busy Add forever %s\n'
                                % (RETRY_LATER, REJECTED), {ADDIN, LIBRARY_COPY})
        self.check_journal(outcome, ['1 app get StartupPath -> busy:8001010A', '1 app get LibraryPath -> str:',
                                     '2 books call Add -> busy:80010001',
                                     '2 addin1 put installed args=bool:0 named=-3 -> ' + FAILURE] + QUIT,
                           ['uninstalled'])
        for asked in ('1 app get StartupPath', '2 books call Add'):
            count = sum(line.startswith(asked + ' ') for line in outcome.journal)
            self.assertTrue(CALL_BOUND - 5 <= count <= CALL_BOUND, '%s asked %d times' % (asked, count))

    def test_a_host_busy_at_every_lookup_holds_the_run_for_its_bound_only(self):
        """The run waits on busy answers for at most about 30 s in all (three calls' bounds), then
        takes a busy answer as a failure at once; it ends by itself well within RUN_BOUND."""
        outcome = self.run_case(BASE + addins(ADDIN) + '* busy names forever %s\n' % REJECTED, set())
        lookups = [re.match(r'(\d+ \S+ names \S+) ', line).group(1) for line in outcome.journal
                   if ' names ' in line]
        self.assertTrue(all(line.endswith('-> busy:80010001') for line in outcome.journal if ' names ' in line))
        asked = {name: lookups.count(name) for name in lookups}
        for name in ('1 app names StartupPath', '1 app names LibraryPath', '2 app names Workbooks'):
            self.assertTrue(CALL_BOUND - 5 <= asked.get(name, 0) <= CALL_BOUND, asked)
        self.assertEqual((asked.get('2 app names addins'), asked.get('2 app names quit')), (1, 1), asked)
        self.assertFalse(any(re.search(r' (get|put|call) ', line) for line in outcome.journal), 'a call was invoked')

    def test_no_host_registered(self):
        self.machine.wine(self.machine.host, '/unregserver')
        try:
            outcome = self.run_case(BASE + addins(ADDIN), set())
            self.assertEqual(outcome.journal, [])
        finally:
            self.machine.wine(self.machine.host, '/regserver')


class WalkFailures(EndToEnd):
    """A failure inside the walk: the add-in or the walk is dropped, the rest of the run happens."""

    def test_enumeration_and_addin_members(self):
        copies = {STARTUP_COPY, LIBRARY_COPY}
        two = addins(ADDIN, SECOND)
        cases = [
            ('the enumerator cannot be had', BASE + '2 _NewEnum fail:80004001\n' + two, copies,
             ['2 addins call+get #-4 -> fail:80004001', '2 app call quit -> ok'], ['enum next']),
            ('what comes back is no enumerator', BASE + '2 _NewEnum dummy\n' + two, copies,
             ['2 addins call+get #-4 -> obj:dummy', '2 app call quit -> ok'], ['enum next']),
            ('what comes back is no object', BASE + '2 _NewEnum i4:5\n' + two, copies,
             ['2 addins call+get #-4 -> i4:5', '2 app call quit -> ok'], ['enum next']),
            ('moving to the first add-in fails', BASE + '2 next 1 fail:80004005\n' + two, copies,
             ['2 enum next celt=1 -> fail:80004005', '2 app call quit -> ok'], ['fullname']),
            ('moving to the second add-in fails: the walk ends there',
             BASE + '2 next 2 fail:80004005\n' + two, copies | {ADDIN},
             walked('addin1', ADDIN) + ['2 enum next celt=1 -> fail:80004005'] + QUIT, ['addin2']),
            ('an entry that is not an object ends the walk',
             BASE + addins(ADDIN) + '* item i4:3\n' + addins(SECOND), copies | {ADDIN},
             walked('addin1', ADDIN) + ['2 enum next celt=1 -> S_OK fetched=1 i4:3', '2 app call quit',
                                        '2 addin1 released', '2 app released'], ['addin3']),
            ('a null entry ends the walk',
             BASE + addins(ADDIN) + '* item nothing\n' + addins(SECOND), copies | {ADDIN},
             walked('addin1', ADDIN) + ['2 enum next celt=1 -> S_OK fetched=1 obj:nothing'] + QUIT,
             ['addin3']),
            ('the full name cannot be read: that add-in is passed over',
             BASE + '* addin %s\n' % FAILURE + addins(SECOND), copies | {SECOND},
             ['2 addin1 get fullname -> ' + FAILURE] + walked('addin2', SECOND) + QUIT, ['addin1 put']),
            ('the full name is no text: no match',
             BASE + '* addin i4:7\n* addin null\n* addin empty\n' + addins(SECOND), copies | {SECOND},
             ['2 addin1 get fullname -> i4:7', '2 addin2 get fullname -> null',
              '2 addin3 get fullname -> empty'] + walked('addin4', SECOND), ['addin1 put', 'addin2 put',
                                                                             'addin3 put']),
            ('installed cannot be written: the file is still probed and deleted',
             BASE + addins(ADDIN) + '* addin.put %s\n' % FAILURE + addins(SECOND), copies | {ADDIN, SECOND},
             ['2 addin1 get fullname', '2 addin1 put installed args=bool:0 named=-3 -> ' + FAILURE,
              '2 addin1 get fullname', '2 addin1 get fullname'] + walked('addin2', SECOND), ['addin1 uninstalled']),
            ('the second read of the full name fails: no probe, no deletion',
             BASE + '* addin str:%s | %s\n' % (ADDIN, FAILURE) + addins(SECOND), copies | {SECOND},
             ['2 addin1 get fullname -> str:' + ADDIN, '2 addin1 uninstalled',
              '2 addin1 get fullname -> ' + FAILURE, '2 enum next']
             + walked('addin2', SECOND), []),
            ('a file in use cannot be deleted: it stays and the walk goes on',
             BASE + '2 hold %s\n2 hold %s\n' % (ADDIN, STARTUP_COPY) + two, {SECOND, LIBRARY_COPY},
             ['2 host hold ' + ADDIN] + walked('addin1', ADDIN) + walked('addin2', SECOND) + QUIT,
             ['failed']),
            ('the third read of the full name fails: no deletion',
             BASE + '* addin str:%s | str:%s | %s\n' % (ADDIN, ADDIN, FAILURE) + addins(SECOND),
             copies | {SECOND},
             walked('addin1', ADDIN, reads=2) + ['2 addin1 get fullname -> ' + FAILURE]
             + walked('addin2', SECOND), []),
        ]

        self.check_table(cases)

    def test_a_busy_walk_is_asked_again(self):
        copies = {STARTUP_COPY, LIBRARY_COPY}
        outcome = self.run_case(BASE + addins(ADDIN, SECOND) + '2 busy next 2 %s\n2 busy fullname 1 %s\n'
                                '2 busy installed 2 %s\n2 busy _NewEnum 1 %s\n' % (REJECTED, IGNORED, RETRY_LATER,
                                                                                 RETRY_LATER),
                                copies | {ADDIN, SECOND})
        self.check_journal(outcome, [
            '2 addins call+get #-4 -> busy:8001010A', '2 addins call+get #-4 -> unk:enum',
            '2 enum next celt=1 -> busy:80010001 fetched=0', '2 enum next celt=1 -> busy:80010001 fetched=0',
            '2 enum next celt=1 -> S_OK fetched=1 obj:addin1',
            '2 addin1 get fullname -> busy:800AC472', '2 addin1 get fullname -> str:' + ADDIN,
            '2 addin1 put installed args=bool:0 named=-3 -> busy:8001010A',
            '2 addin1 put installed args=bool:0 named=-3 -> busy:8001010A',
            '2 addin1 put installed args=bool:0 named=-3 -> ok', '2 addin1 uninstalled',
            '2 addin1 get fullname -> str:' + ADDIN, '2 addin1 get fullname -> str:' + ADDIN,
            '2 enum next celt=1 -> S_OK fetched=1 obj:addin2'] + walked('addin2', SECOND) + QUIT)
        self.assertEqual(sum(' -> busy:' in line for line in outcome.journal), 1 + 2 + 1 + 2)

        # The enumerator busy for ever: the walk is given up after the call's bound, the rest goes on.
        outcome = self.run_case(BASE + addins(ADDIN) + '2 busy next forever %s\n' % RETRY_LATER, copies)
        self.check_journal(outcome, ['2 enum next celt=1 -> busy:8001010A fetched=0'] + QUIT, ['fullname'])
        count = sum(line.startswith('2 enum next ') for line in outcome.journal)
        self.assertTrue(CALL_BOUND - 5 <= count <= CALL_BOUND, 'Next asked %d times' % count)

    def test_a_refused_deletion_moves_the_walk_on(self):
        def lay(m):
            lay_sample(m)
            m.file(SECOND, readonly=True)
        outcome = self.run_case(BASE + addins(SECOND, ADDIN), {ADDIN, STARTUP_COPY, LIBRARY_COPY}, lay=lay)
        self.check_journal(outcome, walked('addin1', SECOND) + walked('addin2', ADDIN) + QUIT)



class Links(EndToEnd):
    """An elevated run reads the user's add-in list: a link in a folder of the user's must not lead
    it to delete a file elsewhere. Under Wine a link is a Unix symbolic link."""

    def test_nothing_is_deleted_through_a_link(self):
        behind = r'C:\vendor\data'
        folder_link = r'C:\home\u\QuantorelixExcel'
        startup_link = r'C:\home\u\xlstart'
        file_link = r'C:\addins\QuantorelixExcelLink.xla'
        target = r'C:\vendor\QuantorelixExcelLink.xla'
        planted = [folder_link + r'\settings.dat', folder_link + r'\QuantorelixExcelLink.xla']

        def lay(m):
            m.file(behind + r'\settings.dat')
            m.file(behind + r'\QuantorelixExcelLink.xla')
            m.file(r'C:\vendor\xlstart\QuantorelixExcelLink.xla')
            m.file(target)
            m.file(LIBRARY_COPY)
            m.link(folder_link, behind)
            m.link(startup_link, r'C:\vendor\xlstart')
            m.link(file_link, target)
            # What is read through the links must stay too.
            for path, laid in [(planted[0], behind + r'\settings.dat'),
                               (planted[1], behind + r'\QuantorelixExcelLink.xla'),
                               (startup_link + r'\QuantorelixExcelLink.xla', r'C:\vendor\xlstart\QuantorelixExcelLink.xla')]:
                m.laid[path] = m.laid[laid]

        outcome = self.run_case('1 StartupPath str:%s\n1 LibraryPath str:%s\n' % (startup_link, LIBRARY)
                                + addins(*planted, file_link), {LIBRARY_COPY}, lay=lay)
        # Each is found through its link and uninstalled, and its file stays.
        self.check_journal(outcome, walked('addin1', planted[0]) + walked('addin2', planted[1])
                           + walked('addin3', file_link) + QUIT)

    def test_an_addin_on_another_drive_letter_is_deleted(self):
        addin = r'D:\addins\QuantorelixExcelLink.xla'
        library = r'D:\excel\library'

        def lay(m):
            lay_sample(m, [addin, library + r'\QuantorelixExcelLink.xla'])

        outcome = self.run_case('1 StartupPath str:%s\n1 LibraryPath str:%s\n' % (STARTUP, library)
                                + addins(addin, ADDIN),
                                {addin, ADDIN, STARTUP_COPY, library + r'\QuantorelixExcelLink.xla'}, lay=lay)
        self.check_journal(outcome, walked('addin1', addin) + walked('addin2', ADDIN) + QUIT)


if __name__ == '__main__':
    unittest.main()
