"""The words every test of the whole program shares, defined once: what the program looks for, the
members it uses and how, the stand-in host's journal (its grammar and the one reader of it), the
answers of a failing or busy host, the sample machine, and what a run does on a machine where
every call is answered.

The journal's lines are described at the top of standin/Journal.cpp. Tests compare journals in
their plain form: each line without its locale (" lcid=0409"), which the checker
(tests/support/invariants.py) holds every call to instead, for instance
    2 app get addins -> obj:addins
    2 addin1 put installed args=bool:0 named=-3 -> ok
    1 app names StartupPath -> busy:8001010A
"""
import re
from collections import namedtuple

KEY = 'quantorelixexcel'              # found in a full name in any letter case
ADDIN_FILE = 'QuantorelixExcelLink.xla'
PROGRAM_IMAGE = 'brolendavir.exe'     # the client each host names at its start
LOCALE = '0409'                       # the locale of every lookup and call

# Each member as the program spells it (the host matches any case, so another spelling would pass
# a real host unnoticed), the object it belongs to, how the program uses it, and the DISPID the
# stand-in gives it.
Member = namedtuple('Member', 'name owner verb dispid')
MEMBERS = {m.name: m for m in (
    Member('StartupPath', 'app', 'get', 1),
    Member('LibraryPath', 'app', 'get', 2),
    Member('Workbooks', 'app', 'get', 3),
    Member('addins', 'app', 'get', 4),
    Member('quit', 'app', 'call', 5),
    Member('Add', 'books', 'call', 1),
    Member('fullname', 'addin', 'get', 1),
    Member('installed', 'addin', 'put', 2),
)}
# The collection's enumerator: read by its DISPID, never looked up by name.
NEW_ENUM = Member('#-4', 'addins', 'call+get', -4)
# "installed" is written with False, passed as the named property-put argument.
NOT_INSTALLED = 'bool:0'
PROPERTY_PUT = '-3'

# A failing host's answers, the first as a real host reports a failing member (DISP_E_EXCEPTION).
FAILURES = ['fail:80020009', 'fail:80004005', 'fail:80010108', 'fail:800706BA']
# A busy host: RPC_E_CALL_REJECTED, RPC_E_SERVERCALL_RETRYLATER, VBA_E_IGNORE.
REJECTED, RETRY_LATER, IGNORED = '80010001', '8001010A', '800AC472'
BUSY = [REJECTED, RETRY_LATER, IGNORED]
# What a host answers a member called the wrong way: DISP_E_MEMBERNOTFOUND, DISP_E_TYPEMISMATCH,
# DISP_E_BADPARAMCOUNT, DISP_E_UNKNOWNINTERFACE.
MISUSE = ['80020003', '8002000E', '80020004', '80020001']

# What a laid path holds.
NORMAL, READ_ONLY, HIDDEN, SYSTEM, HIDDEN_READ_ONLY, FOLDER = (
    'normal', 'read-only', 'hidden', 'system', 'hidden read-only', 'folder')
# A file the program must leave, whoever names it; a folder is never deleted either.
KEPT_STATES = (READ_ONLY, HIDDEN, SYSTEM, HIDDEN_READ_ONLY)
Laid = namedtuple('Laid', 'path what state')


def matches(text):
    """Whether a full name holds the key: the program's rule, for the texts the tests draw."""
    return text is not None and KEY in text.lower()


# --- the journal ---

LINE = re.compile(r'(\d+) (\S+) (.*)\Z')
# The locale is left out of the plain form, which the reader reads as well.
NAMES = re.compile(r'names (\S+)(?: lcid=(\w+))? -> (\S+)\Z')
INVOKE = re.compile(r'(get|put|putref|call|none|[a-z]+(?:\+[a-z]+)+) (\S+)(?: lcid=(\w+))?(?: args=(\S+))?'
                    r'(?: named=(\S+))? -> (.*)\Z')
NEXT = re.compile(r'next celt=(\d+) -> (\S+) fetched=(\d+)(?: (.*))?\Z')


class Event:
    """One journal line, read. kind is "names", "invoke", "next", "host", "factory", "released",
    "uninstalled", "installed", "other" (a call outside what the run makes, e.g. "enum skip"), or
    None for a line that is not in the journal's grammar. plain is the line without its locale,
    when that is 0409."""
    kind = instance = obj = rest = name = verb = lcid = args = named = result = None

    def __init__(self, raw):
        self.raw = self.plain = raw
        line = LINE.match(raw)
        if line is None:
            return
        self.instance, self.obj, self.rest = int(line.group(1)), line.group(2), line.group(3)
        names, invoke, step = NAMES.match(self.rest), INVOKE.match(self.rest), NEXT.match(self.rest)
        if self.obj in ('host', 'factory'):
            # "factory create -> RESULT", "host end REASON [held=...]", "host start client=IMAGE"
            words = self.rest.split(' ')
            self.kind, self.verb = self.obj, words[0]
            self.result = words[-1] if self.rest.startswith('create -> ') else (words[1:2] or [None])[0]
        elif self.rest in ('released', 'uninstalled', 'installed'):
            self.kind = self.rest
        elif names:
            self.kind, (self.name, self.lcid, self.result) = 'names', names.groups()
        elif invoke:
            self.kind, (self.verb, self.name, self.lcid, self.args, self.named, self.result) = 'invoke', invoke.groups()
        elif step and self.obj == 'enum':
            self.kind, self.result = 'next', step.group(2)
        else:
            self.kind = 'other'
        if self.lcid == LOCALE:
            head = '%d %s' % (self.instance, self.call)
            self.plain = head + raw[len(head) + len(' lcid=' + LOCALE):]

    @property
    def busy(self):
        """A call the host turned away as busy: no answer; the program asks again or gives up."""
        return self.kind in ('names', 'invoke', 'next') and self.result.startswith('busy:')

    @property
    def call(self):
        """"OBJ VERB NAME" of an invoke, or "OBJ names NAME" of a lookup, without the answer."""
        if self.kind == 'invoke':
            return '%s %s %s' % (self.obj, self.verb, self.name)
        return '%s names %s' % (self.obj, self.name) if self.kind == 'names' else None

    @property
    def addin(self):
        """Whether the object is an entry of the add-in collection ("addin<k>")."""
        return re.fullmatch(r'addin\d+', self.obj or '') is not None

    def of(self, obj, name):
        """Whether this is a lookup or a call of member name of obj (any letter case)."""
        return self.kind in ('names', 'invoke') and self.obj == obj and self.name.lower() == name.lower()


def written(plain):
    """The line a host writes for a line in its plain form: lookups and calls name their locale."""
    event = Event(plain)
    if event.kind not in ('names', 'invoke') or event.lcid is not None:
        return plain
    head = '%d %s' % (event.instance, event.call)
    return '%s lcid=%s%s' % (head, LOCALE, plain[len(head):])


def text_of(value):
    """The text of a journal value "str:...", or None for any other value."""
    return value[4:].replace('<NUL>', '\0') if value is not None and value.startswith('str:') else None


class Journal:
    """The host's journal of one run, read."""

    def __init__(self, lines):
        self.lines = list(lines)
        self.events = [Event(line) for line in self.lines]

    def plain(self):
        return [e.plain for e in self.events]

    def of(self, instance):
        """The plain lines of one host instance, without the instance number."""
        return [e.plain.split(' ', 1)[1] for e in self.events if e.instance == instance]

    def instances(self):
        return sorted({e.instance for e in self.events if e.instance is not None})

    def served(self):
        """The lookups and calls the hosts answered: (calls, lookups). A busy answer is none."""
        return tuple(sum(e.kind == kind and not e.busy for e in self.events) for kind in ('invoke', 'names'))

    def copies(self):
        """The copy paths built from the first instance's folder texts (each member's first answer)."""
        texts = [next((text_of(e.result) for e in self.events if e.kind == 'invoke' and not e.busy
                       and e.instance == 1 and e.of('app', name)), None) for name in ('StartupPath', 'LibraryPath')]
        return [text + '\\' + ADDIN_FILE for text in texts if text is not None]

    def full_names(self):
        """(instance, add-in) -> every full name answered, in order."""
        found = {}
        for e in self.events:
            if e.kind == 'invoke' and not e.busy and e.addin and e.name.lower() == 'fullname':
                found.setdefault((e.instance, e.obj), []).append(e.result)
        return found

    def held(self):
        """instance -> the paths its host held open."""
        found = {}
        for e in self.events:
            if e.kind == 'host' and e.verb == 'hold' and not e.rest.endswith(' failed'):
                found.setdefault(e.instance, []).append(e.rest[len('hold '):])
        return found

    def clients(self):
        """instance -> the image its host named as its client at its start."""
        return {e.instance: e.result[len('client='):] for e in self.events if e.kind == 'host' and e.verb == 'start'}

    def ends(self):
        """instance -> how its host ended (released, quit, client-gone, timeout, ...)."""
        return {e.instance: e.result for e in self.events if e.kind == 'host' and e.verb == 'end'}

    def quit_called(self):
        """Whether "quit" was called (answered or not)."""
        return any(e.kind == 'invoke' and e.of('app', 'quit') for e in self.events)

    def quit_attempts(self):
        """The lookups and calls of "quit", busy answers and failures included."""
        return sum(e.of('app', 'quit') for e in self.events)


# --- what a run does where every call is answered ---

def lookup(obj, name, answer=None):
    """The plain line of the lookup of one of the run's members, answered so (by default, found)."""
    return '%s names %s -> %s' % (obj, name, MEMBERS[name].dispid if answer is None else answer)


def call(obj, name, answer, looked_up=True):
    """The plain lines of one call the run makes: its lookup (when asked for) and the call."""
    member = MEMBERS[name]
    put = ' args=%s named=%s' % (NOT_INSTALLED, PROPERTY_PUT) if member.verb == 'put' else ''
    return ([lookup(obj, name)] if looked_up else []) + ['%s %s %s%s -> %s' % (obj, member.verb, name, put, answer)]


def invoked(instance, obj, name, answer):
    """The plain line of one call the run makes, answered so, in a host instance."""
    return '%d %s' % (instance, call(obj, name, answer, looked_up=False)[0])


def looked_up(instance, obj, name, answer=None):
    """The plain line of a lookup in a host instance, answered so (by default, found)."""
    return '%d %s' % (instance, lookup(obj, name, answer))


def plain_run(startup, library, addins):
    """{instance: its plain lines} of a run on a machine where every call is answered: the first
    instance gives its folders, the second the workbook, the walk over addins (Laid, in the
    host's order) and "quit". The run lets go of the add-in, then the application, then the
    walk's enumerator and collection, and the host ends on that last release."""
    first = ['host start client=' + PROGRAM_IMAGE, 'host registered', 'factory create -> obj:app']
    first += call('app', 'StartupPath', 'str:' + startup) + call('app', 'LibraryPath', 'str:' + library)
    first += ['app released', 'host lastref', 'host end released']

    second = ['host start client=' + PROGRAM_IMAGE, 'host registered', 'factory create -> obj:app']
    second += call('app', 'Workbooks', 'obj:books') + call('books', 'Add', 'obj:book')
    # The workbook collection is a passing value, not part of what the run holds.
    second += ['book released', 'books released']
    second += call('app', 'addins', 'obj:addins') + ['addins call+get #-4 -> unk:enum']
    for n, addin in enumerate(addins, 1):
        second.append('enum next celt=1 -> S_OK fetched=1 obj:addin%d' % n)
        if n > 1:
            second.append('addin%d released' % (n - 1))
        read = call('addin%d' % n, 'fullname', 'str:' + addin.path)
        second += read
        if matches(addin.path):
            # "installed" written, the full name read again for the probe, and a third time for the
            # deletion when the probe found a normal file.
            second += call('addin%d' % n, 'installed', 'ok') + ['addin%d uninstalled' % n] + read
            second += read if addin.state == NORMAL else []
    second.append('enum next celt=1 -> S_FALSE fetched=0')
    second += call('app', 'quit', 'ok')
    second += ['addin%d released' % len(addins)] if addins else []
    second += ['app released', 'enum released', 'addins released', 'host lastref', 'host end quit']
    return {1: first, 2: second}


# The sample machine of the demo, the benchmark and the plain run: add-ins that match by their name
# and by their folder, one whose file is hidden, one that does not match, the copies in the startup
# and library folders, and files that no run may take.
STARTUP = r'C:\excel\xlstart'
LIBRARY = r'C:\excel\library'
STARTUP_COPY = STARTUP + '\\' + ADDIN_FILE
LIBRARY_COPY = LIBRARY + '\\' + ADDIN_FILE
ROOT_COPY = 'C:\\' + ADDIN_FILE  # what an empty folder text, or a bare file name, names
ADDIN = r'C:\addins' + '\\' + ADDIN_FILE
KEYED_FOLDER = r'C:\Tools' + '\\' + ADDIN_FILE[:len(KEY)]  # a folder whose name holds the key
OTHER = LIBRARY + r'\solver.xla'
SAMPLE_ADDINS = [
    Laid(ADDIN, 'matching', NORMAL),
    Laid(OTHER, 'not matching', NORMAL),
    Laid(KEYED_FOLDER + r'\tools.xla', 'matching (by its folder)', NORMAL),
    Laid(r'C:\addins\hidden' + '\\' + ADDIN_FILE, 'matching, hidden', HIDDEN),
]
SAMPLE_FILES = [
    Laid(STARTUP_COPY, 'copy in the startup folder', NORMAL),
    Laid(LIBRARY_COPY, 'copy in the library folder', NORMAL),
    Laid(STARTUP + r'\personal.xlsb', 'unrelated', NORMAL),
    Laid(ROOT_COPY, 'at the root of drive C: named by no folder', NORMAL),
]
# What a run on the sample machine deletes.
SAMPLE_DELETED = {a.path for a in SAMPLE_ADDINS if matches(a.path) and a.state == NORMAL} | {STARTUP_COPY, LIBRARY_COPY}


def folders(startup=STARTUP, library=LIBRARY):
    """The scenario lines that give the first instance its folders."""
    return '1 StartupPath str:%s\n1 LibraryPath str:%s\n' % (startup, library)


def addins(*full_names):
    """The scenario lines that list add-ins with these full names, on every instance."""
    return ''.join('* addin str:%s\n' % name for name in full_names)


def lay_sample(machine):
    """Lays the sample machine out on a (reset) machine; returns {path: what it is}."""
    for laid in SAMPLE_ADDINS + SAMPLE_FILES:
        machine.file(laid.path, laid.state)
    machine.scenario(folders() + addins(*(a.path for a in SAMPLE_ADDINS)))
    return {laid.path: laid.what for laid in SAMPLE_ADDINS + SAMPLE_FILES}


def required_on_sample():
    """The calls and the lookups a run on the sample machine makes: (calls, lookups)."""
    run = plain_run(STARTUP, LIBRARY, SAMPLE_ADDINS)
    return Journal(['%d %s' % (instance, line) for instance, lines in run.items() for line in lines]).served()


# The probe client's scenario (tests/e2e/HostProbe.cpp): two add-ins, and the host busy once for
# the lookup of Workbooks, for "Add" and for the enumerator's Next.
PROBE_SCENARIO = (addins(ADDIN, OTHER)
                  + '1 busy names:Workbooks 1 %s\n1 busy Add 1 %s\n1 busy next 1 %s\n' % (REJECTED, IGNORED, RETRY_LATER))
