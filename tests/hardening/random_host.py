"""A stand-in host drawn at random from a seed: a scenario (the format at the top of
standin/Scenario.cpp) and the files laid out on drive C: around the paths it names.

The draw leans towards hosts that mostly work, with a few things wrong in each, so that most runs
get as far as the walk and the deletions: every member can fail, answer a value of the wrong
kind, or be busy a few times (now and then for ever, on one member), full names come in every
shape a text can take (wildcards, an embedded NUL, over 260 characters, other letters than ASCII,
trailing dots and spaces, another letter case), and the files at and beside the named paths are
normal, read-only, hidden, system, folders, in use or missing.
"""
import random

from run_model import (ADDIN_FILE, BUSY, FAILURES, FOLDER, HIDDEN, HIDDEN_READ_ONLY, KEY, LIBRARY, NORMAL, READ_ONLY,
                       ROOT_COPY, STARTUP, SYSTEM, matches, text_of)

KEYED = ADDIN_FILE[:len(KEY)]  # the key as the add-in's name spells it

# Folders are laid under these, and nowhere else on drive C:.
TOPS = [r'C:\addins', r'C:\excel', r'C:\Tools', r'C:\Old Office', r'C:\Données']
SUBFOLDERS = ['xlstart', 'library', 'Analysis', 'sub dir', 'v1.0', 'Ünïcødé', '中文', 'Ωμέγα']
DECOY = r'C:\decoy'               # the second instance's folders, which the run never reads

# Full-name values that are not texts, and what members may answer instead of their own value.
NOT_TEXT = ['null', 'empty', 'i4:0', 'i4:7', 'r8:2.5', 'bool:-1', 'bool:0', 'nothing', 'dummy', 'object']
# What may be busy: a member, the lookup of any name or of one, the enumerator's Next.
BUSY_TARGETS = ['StartupPath', 'LibraryPath', 'Workbooks', 'Add', 'addins', '_NewEnum', 'fullname', 'installed',
                'quit', 'names', 'names:StartupPath', 'names:Workbooks', 'names:fullname', 'names:installed', 'next']
WRONG = FAILURES + ['nothing', 'dummy', 'empty', 'null', 'i4:1', 'str:Book1', 'bool:-1']

# What a laid path holds: the machine's states, and two of the draw's own.
FULL_FOLDER, MISSING = 'folder with a file', 'missing'
STATES = {NORMAL: 50, READ_ONLY: 8, HIDDEN: 7, SYSTEM: 6, HIDDEN_READ_ONLY: 3, FOLDER: 4, FULL_FOLDER: 4, MISSING: 18}


class RandomHost:
    """One seed's host: scenario lines and the files to lay; lay_out() puts both on a machine."""

    def __init__(self, seed):
        self.seed = seed
        self.r = random.Random(seed)
        self.lines = []
        self.paths = {}      # Windows path -> state, in the order drawn
        self.spelling = {}   # upper-cased path -> the one spelling laid (Wine folds case)
        self.first_folder = None  # the first folder text drawn, as the scenario gives it
        self.draw()

    # --- the scenario ---

    def draw(self):
        r = self.r
        self.lines.append('# seed %d' % self.seed)
        if r.random() < 0.12:
            self.lines.append('%s create %s' % (r.choice('1122*'),
                                                r.choice(['fail:80004005', 'fail:80080005', 'noregister'])))
        for member in ('StartupPath', 'LibraryPath'):
            self.draw_folder(member)
            if r.random() < 0.7:
                self.lines.append('2 %s str:%s\\%s' % (member, DECOY, member.lower()))
                self.lay(DECOY + '\\' + member.lower() + '\\' + ADDIN_FILE, NORMAL)
        for member in ('Workbooks', 'Add', 'addins', '_NewEnum', 'quit'):
            if r.random() < 0.07:
                self.lines.append('%s %s %s' % (r.choice('*2*1'), member, r.choice(WRONG)))
        count = r.choice([0, 1, 2, 3, 3, 4, 4, 5, 6, 8])
        scope = '*' if r.random() < 0.85 else '2'
        for _ in range(count):
            if r.random() < 0.07:
                self.lines.append('%s item %s' % (scope, r.choice(NOT_TEXT + ['str:' + self.addin_path()])))
                continue
            self.lines.append('%s addin %s' % (scope, self.full_name_answers()))
            if r.random() < 0.1:
                self.lines.append('%s addin.put %s' % (scope, r.choice(FAILURES)))
        if r.random() < 0.1:
            self.lines.append('* next %d %s' % (r.randint(1, count + 1), r.choice(FAILURES)))
        if r.random() < 0.15:
            held = [p for p, state in self.paths.items() if state == NORMAL]
            for path in r.sample(held, min(len(held), r.randint(1, 2))):
                self.lines.append('2 hold ' + path)
        for _ in range(r.randint(0, 2)):
            self.lay(r.choice(TOPS) + '\\' + r.choice(['readme.txt', 'personal.xlsb', ADDIN_FILE + 'm']), NORMAL)
        self.draw_busy()
        self.draw_bare_name()

    def draw_busy(self):
        """Busy answers: a few in one host in four, and in one host in thirty one member (never every
        lookup) busy for ever, which costs the run one call's bound. This draw and the bare name's
        have streams of their own, so that the rest of each seed's host stays as drawn before them."""
        r = random.Random('busy %d' % self.seed)
        if r.random() < 0.25:
            for _ in range(r.randint(1, 3)):
                self.lines.append('%s busy %s %d %s' % (r.choice('*12'), r.choice(BUSY_TARGETS), r.randint(1, 3),
                                                        r.choice(BUSY)))
        if r.random() < 1 / 30:
            self.lines.append('%s busy %s forever %s' % (r.choice('*12'), r.choice(BUSY_TARGETS[:-6] + ['next']),
                                                          r.choice(BUSY)))

    def draw_bare_name(self):
        """In one host in eight, an add-in listed by a bare file name: it names a file in the run's
        working folder, C:\\, and holds the key from its first letter on."""
        r = random.Random('bare %d' % self.seed)
        if r.random() < 1 / 8:
            name = r.choice([ADDIN_FILE, ADDIN_FILE.upper(), KEY + '.xla', KEYED + ' Tools.xlam'])
            self.lines.append('* addin str:' + name)
            self.lay('C:\\' + name, r.choices([NORMAL, READ_ONLY, HIDDEN, MISSING], [6, 1, 1, 2])[0])

    def draw_folder(self, member):
        """One folder text for the first instance, and the copy where that text would put it."""
        r = self.r
        folder = self.folder(keyed=r.random() < 0.2)
        copy = folder + '\\' + ADDIN_FILE
        kind, answer = self.pick({
            'plain': (30, lambda: 'str:' + folder),
            'unset': (5, lambda: None),
            'backslash': (8, lambda: 'str:' + folder + '\\'),
            'slashes': (4, lambda: 'str:' + folder.replace('\\', '/')),
            'case': (5, lambda: 'str:' + self.recase(folder)),
            'empty': (6, lambda: 'str:'),
            'not text': (6, lambda: r.choice(NOT_TEXT)),
            'failing': (6, lambda: r.choice(FAILURES)),
            'dot': (3, lambda: 'str:' + folder + '.'),
            'space': (3, lambda: 'str:' + folder + ' '),
            'wildcard': (5, lambda: 'str:' + self.wildcard(folder)),
            # Cut at the NUL, the copy path would name the copy itself.
            'nul': (5, lambda: 'str:' + copy + '<NUL>'),
            # The copy path would lie under a file.
            'a file': (3, lambda: 'str:' + copy),
            'relative': (3, lambda: 'str:' + folder[3:]),
            'several': (3, lambda: 'str:%s | str:%s' % (folder, self.folder())),
            # Both folder texts alike: the same copy path twice; a plain text when it comes first.
            'same': (4, lambda: self.first_folder or 'str:' + folder),
        })
        if kind == 'same' and self.first_folder is not None:
            self.lines.append('1 %s %s' % (member, answer))
            return
        if kind == 'unset':
            folder = STARTUP if member == 'StartupPath' else LIBRARY  # the host's own, when unset
            copy = folder + '\\' + ADDIN_FILE
        elif kind == 'empty':
            copy = ROOT_COPY
        if answer is not None:
            self.lines.append('1 %s %s' % (member, answer))
            self.first_folder = self.first_folder or answer
        self.lay(copy, NORMAL if kind == 'nul' and r.random() < 0.8 else self.state())
        if r.random() < 0.5:
            self.lay(folder + '\\' + r.choice(['personal.xlsb', ADDIN_FILE + 'm', ADDIN_FILE + '.bak']), NORMAL)

    def full_name_answers(self):
        """ANSWERS for one add-in's full name: usually one, sometimes a different one per read."""
        r = self.r
        path = self.addin_path()
        self.lay(path, self.state())
        answers = [self.full_name(path)]
        while r.random() < 0.15 and len(answers) < 3:
            answers.append(self.full_name(path if r.random() < 0.5 else self.addin_path(lay=True)))
        return ' | '.join(answers)

    def full_name(self, path):
        r = self.r
        return self.pick({
            'text': (82, lambda: 'str:' + self.shape(path)),
            'not text': (8, lambda: r.choice(NOT_TEXT)),
            'failing': (6, lambda: r.choice(FAILURES)),
            'empty text': (4, lambda: 'str:'),
        })[1]

    def shape(self, path):
        """The text a host may give for a path: as laid, or bent in one way."""
        r = self.r
        folder, name = path.rsplit('\\', 1)
        return self.pick({
            'as laid': (40, lambda: path),
            'case': (10, lambda: self.recase(path)),
            'slashes': (4, lambda: path.replace('\\', '/')),
            'doubled': (4, lambda: folder + '\\\\' + name),
            'dot': (4, lambda: path + '.'),
            'space': (4, lambda: path + ' '),
            'backslash': (3, lambda: path + '\\'),
            'wildcard': (12, lambda: self.wildcard_name(folder, name)),
            # Cut at the NUL, the text would name the laid file.
            'nul': (10, lambda: path + '<NUL>' + r.choice(['.bak', '\\x', '', ' old.xla'])),
            # Often the key stands only in the folder that ".." folds away.
            'dotdot': (4, lambda: folder + '\\' + r.choice(SUBFOLDERS + [KEYED, KEYED.swapcase()]) + '\\..\\' + name),
            'relative': (3, lambda: path[3:]),
            'long prefix': (3, lambda: '\\\\?\\' + path),
            'control': (2, lambda: self.control(path)),
            # Longer than any path Windows takes, even with \\?\.
            'huge': (1, lambda: folder + '\\' + 'x' * r.choice([5000, 40000]) + name),
        })[1]

    def pick(self, table):
        """(kind, text) of table {kind: (weight, the text made)}, its kind drawn by weight."""
        kind = self.r.choices(list(table), [weight for weight, _ in table.values()])[0]
        return kind, table[kind][1]()

    def wildcard_name(self, folder, name):
        """The path with a file pattern in its name, and a file beside it that the pattern matches too."""
        pattern = self.wildcard(name)
        sibling = pattern.replace('*', 'Other').replace('<', 'Other').replace('?', 'Z').replace('>', 'Z')
        if sibling != pattern.replace('"', '.'):
            self.lay(folder + '\\' + sibling, NORMAL)
        return folder + '\\' + pattern

    def control(self, path):
        at = self.r.randrange(3, len(path))
        return path[:at] + self.r.choice('\t\x01\x7f') + path[at:]

    def wildcard(self, text):
        """The text with one character or a run of them replaced by a file pattern character."""
        r = self.r
        at = r.randrange(len(text) - 1) + 1
        while text[at] in '\\:':
            at = r.randrange(len(text) - 1) + 1
        char = r.choice('*?<>"')
        if char == '"':
            dot = text.rfind('.')
            if dot > 0:
                return text[:dot] + '"' + text[dot + 1:]
        if char in '*<':
            return text[:at] + char + text[min(len(text), at + r.randint(1, 6)):]
        return text[:at] + char + text[at + 1:]

    # --- paths ---

    def folder(self, keyed=False):
        r = self.r
        parts = [r.choice(TOPS)] + [r.choice(SUBFOLDERS) for _ in range(r.choice([0, 1, 1, 2, 3]))]
        if keyed:
            parts.insert(r.randint(1, len(parts)), self.keyed(r.choice(['', 'Old ', 'my-']), r.choice(['', ' 2', 'Link'])))
        if r.random() < 0.06:
            # Over 260 characters in all.
            parts += ['deep folder %02d of a long path' % i for i in range(10)]
        return self.canonical('\\'.join(parts))

    def addin_path(self, lay=False):
        r = self.r
        folder = self.folder(keyed=r.random() < 0.35)
        name = r.choices([
            ADDIN_FILE, self.keyed('', 'Link.xla'), self.keyed('Old ', '.xla'), self.keyed('my', 'Tools.xlam'),
            'solver.xla', 'tools.xla', 'Quantorelix Excel.xla', 'QuantorelixExce.xla', 'Ж-отчёт.xla',
            '报告.xla', '\U0001F600 add-in.xla'], [25, 12, 6, 6, 10, 6, 5, 5, 3, 3, 3])[0]
        path = self.canonical(folder + '\\' + name)
        if name == ADDIN_FILE and r.random() < 0.1:
            path = ROOT_COPY
        if lay:
            self.lay(path, self.state())
        return path

    def keyed(self, before, after):
        """A name with the key in it, in a random letter case."""
        return before + self.recase(KEYED) + after

    def recase(self, text):
        return ''.join(c.upper() if self.r.random() < 0.5 else c.lower() for c in text)

    def state(self):
        return self.r.choices(list(STATES), list(STATES.values()))[0]

    def canonical(self, path):
        """The path spelled as any path laid before that differs only in letter case."""
        parts = path.split('\\')
        done = parts[0]
        for part in parts[1:]:
            done = self.spelling.setdefault((done + '\\' + part).upper(), done + '\\' + part)
        return done

    def lay(self, path, state):
        """Notes what a path holds; the first state drawn for a path stays."""
        path = self.canonical(path)
        upper = path.upper()
        for other in self.paths:
            # A file cannot also be a folder on the way to another path.
            if upper.startswith(other.upper() + '\\') or other.upper().startswith(upper + '\\'):
                return
        self.paths.setdefault(path, state)

    # --- the machine ---

    def lay_out(self, machine):
        """Lays the files and the scenario on a (reset) machine.Machine."""
        for path, state in self.paths.items():
            if state in (FOLDER, FULL_FOLDER):
                machine.folder(path)
                if state == FULL_FOLDER:
                    machine.file(path + '\\inside.txt')
            elif state != MISSING:
                machine.file(path, state)
        machine.scenario(''.join(line + '\n' for line in self.lines))

    def certain(self):
        """What any run must do where nothing in the scenario stands in its way: ("quit" asked, the
        second instance's add-ins asked to uninstall, the laid files deleted). With both instances
        created and nothing busy for ever: a copy its folder text names as laid, and, with nothing
        set for the collection or its enumerator, each add-in up to the first other entry, asked to
        uninstall if its name holds the key, its file deleted if each read names it as laid, normal,
        not held open and without a file pattern character."""
        keys = [line.split(' ')[1] for line in self.lines[1:]]
        if 'create' in keys or any(' forever ' in line for line in self.lines):
            return not any(line.startswith('* create ') for line in self.lines), [], []
        goes = [path for path, state in self.paths.items() if state == NORMAL and '2 hold ' + path not in self.lines
                and not any(c in path for c in '*?<>"|')]
        first = {line.split(' ')[1]: line.split(' ', 2)[2] for line in self.lines[1:] if line.startswith('1 ')}
        deleted = [folder + '\\' + ADDIN_FILE for folder in (text_of(first.get('StartupPath', 'str:' + STARTUP)),
                                                             text_of(first.get('LibraryPath', 'str:' + LIBRARY)))
                   if folder is not None and folder + '\\' + ADDIN_FILE in goes]
        uninstalled = []
        entries = [line.split(' ', 2)[1:] for line in self.lines[1:] if line.split(' ')[1] in ('addin', 'item')]
        for n, (key, answers) in enumerate(entries if not {'addins', '_NewEnum', 'next'} & set(keys) else [], 1):
            if key == 'item':
                break
            name = text_of(answers.split(' | ')[0])
            uninstalled += ['addin%d' % n] if matches(name) else []
            deleted += [name] if matches(name) and ' | ' not in answers and name in goes else []
        return True, uninstalled, deleted

    def describe(self):
        lines = ['scenario:'] + ['  ' + line for line in self.lines] + ['files:']
        lines += ['  %-18s %s' % (state, path) for path, state in self.paths.items()]
        return '\n'.join(lines)
