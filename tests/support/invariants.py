"""What holds for every run of the program, whatever its host does, checked on one run from the
host's journal and the drive: the one checker that the end-to-end cases and the random hosts share.
It says what may happen and what must, never in what order the run's steps come (the end-to-end
cases pin that).

  crash     the program ended with a status other than 0 (or the harness itself failed)
  hang      the program did not end by itself within machine.RUN_BOUND (busy answers included:
            the program waits on them for about 30 s at most in all)
  foreign   a member outside the member table, or spelt otherwise, or used another way; a call
            without a fresh lookup of its name; another locale; an argument the member takes none
            of, or "installed" written with anything but False; a third host, or another client
  match     an add-in whose full name holds the key on which the run did not write "installed"
            False, or one whose full name does not on which it so much as looked "installed" up
  deletion  a file went that is not a normal, writable file named literally by a copy path or by
            the third read of a matching add-in's full name (the one after the probe), or went
            while a host held it open; a laid file changed; a file appeared anywhere on drive C:
  early     a copy (named by a copy path alone) went before the run was done with "quit"
  left      a host process outlived the run, or ended only when its client had gone or by its own
            life bound: the run did not let go of it
"""
import re

import run_model
from machine import RUN_BOUND
from run_model import KEY, text_of

CATEGORIES = ('crash', 'hang', 'foreign', 'match', 'deletion', 'early', 'left')

# (verb, member) each object of the host may see, names as the program spells them. An object a
# member answered in place of its own (Workbooks, addins, an entry of the collection) may be used
# as what the run took it for.
_USES = {}
for _member in run_model.MEMBERS.values():
    _USES.setdefault(_member.owner, set()).add((_member.verb, _member.name))
_USES['addins'] = {(run_model.NEW_ENUM.verb, run_model.NEW_ENUM.name)}
_USES['dummy'] = _USES['books'] | _USES['addin'] | _USES['addins']


def file_key(text):
    """The file that the program's deletion reaches through a path text, as a comparable key, or
    None. The Win32 file calls, which take the text as it stands (no \\\\?\\), make both slashes
    separators, fold a run of them, drop one dot that ends a folder's name and start from the
    working folder, C:\\; the program deletes only a file whose own name is the text's last part
    exactly (not one ending in a dot, a space or a separator), and never through a wildcard
    character (the "?" of \\\\?\\ too), a NUL, or a "." or ".." part. Letter case does not count."""
    path = (text or '').replace('/', '\\')
    if not path or path.startswith('\\\\') or any(c in path for c in '\0*?<>"|'):
        return None
    if re.match(r'[A-Za-z]:', path):
        if path[0].upper() != 'C':
            return None
        path = path[2:]
    parts = path.split('\\')
    if parts[-1][-1:] in ('', '.', ' ') or any('.' in part and not part.strip('. ') for part in parts):
        return None
    folders = [part[:-1] if part.endswith('.') else part for part in parts[:-1] if part]
    return tuple(part.upper() for part in folders + parts[-1:])


def _may_match(text):
    """Whether a full name holds the key under some reasonable lower-casing: the program's rule, or
    each letter lower-cased to one (a capital dotted I lower-cases to two letters in Python's
    rule, to one in the invariant locale's)."""
    return run_model.matches(text) or (text is not None and KEY in ''.join(c.lower()[:1] for c in text))


def check_members(journal):
    found = ['a host started for another client: %d %s' % (instance, client)
             for instance, client in sorted(journal.clients().items()) if client != run_model.PROGRAM_IMAGE]
    before = {}  # instance -> its line before this one
    for event in journal.events:
        line = event.raw
        if event.kind is None:
            found.append('unreadable journal line: ' + line)
            continue
        last, before[event.instance] = before.get(event.instance), event
        if event.instance not in (1, 2):
            found.append('a host instance beyond the second: ' + line)
        if event.kind == 'other':  # enum skip, reset or clone, type information: nothing the run does
            found.append('outside the table: ' + line)
        if event.kind not in ('names', 'invoke'):
            continue
        uses = _USES.get('addin' if event.addin else event.obj, set())
        if event.lcid != run_model.LOCALE:
            found.append('locale %s: %s' % (event.lcid, line))
        # An object with no members (what a member answered in place of its own) refuses every call.
        if event.obj != 'dummy' and event.result in ['fail:' + code for code in run_model.MISUSE]:
            found.append('a member called the wrong way: ' + line)
        # Each member is used the one way the program uses it (the enumerator both ways at once).
        used = {name.lower() for verb, name in uses if event.kind == 'names' or verb == event.verb}
        put = (run_model.NOT_INSTALLED, run_model.PROPERTY_PUT) if event.name == 'installed' else (None, None)
        if event.name.lower() not in used:
            found.append('%s outside the table: %s' % ('invoked' if event.kind == 'invoke' else 'looked up', line))
        elif event.name not in {name for _, name in uses}:
            found.append('spelt otherwise: ' + line)
        elif event.kind == 'invoke' and (event.args, event.named) != put:
            found.append('%s: %s' % ('"installed" written with something other than False' if event.name == 'installed'
                                     else 'arguments passed', line))
        # A member is looked up by name afresh for each call; a call turned away as busy is asked
        # again as it was.
        fresh = last is not None and ((last.kind == 'names' and last.obj == event.obj and last.name == event.name
                                       and not last.busy) or (last.call == event.call and last.busy))
        if event.kind == 'invoke' and not event.name.startswith('#') and not fresh:
            found.append('no fresh lookup before: ' + line)
    return found


def check_match(journal):
    found = []
    touched = {(e.instance, e.obj) for e in journal.events if e.of(e.obj, 'installed')}
    asked = {(e.instance, e.obj) for e in journal.events if e.of(e.obj, 'installed') and e.args == run_model.NOT_INSTALLED}
    for addin, answers in journal.full_names().items():
        text = text_of(answers[0])
        if run_model.matches(text) and addin not in asked:
            found.append('%d %s holds the key and was not uninstalled: %r' % (addin[0], addin[1], text))
        elif not _may_match(text) and addin in touched:
            found.append('%d %s does not hold the key and was uninstalled: %s' % (addin[0], addin[1], answers[0]))
    return found


def check_files(machine, journal, gone_at):
    """deletion and early (gone_at: laid path -> the journal's lines before it went)."""
    deletions, early = [], []
    copies = {file_key(t) for t in journal.copies()} - {None}
    addins = {file_key(text_of(answers[2])) for answers in journal.full_names().values()
              if len(answers) > 2 and _may_match(text_of(answers[0]))} - {None}
    # A file that a host holds open cannot be deleted before that host has ended.
    held = [(file_key(path), instance) for instance, paths in journal.held().items() for path in paths]
    now = machine.files()
    for path, laid in machine.laid.items():
        if now[path] == laid:
            continue
        if now[path] is not None:
            deletions.append('changed: ' + path)
            continue
        state, key = machine.states[path], file_key(path)
        why = ('a folder' if state == run_model.FOLDER else state if state in run_model.KEPT_STATES else
               'in use' if any(k == key and n not in run_model.Journal(gone_at.get(path, [])).ends() for k, n in held)
               else 'named by no copy path and by no third read of a matching full name' if key not in copies | addins
               else None)
        if why:
            deletions.append('deleted %s (%s)' % (path, why))
        elif key in copies - addins:
            # The run's last word with "quit" came before the copy went: every lookup and call of
            # it, busy answers and failures included, was in the journal then.
            if path not in gone_at:
                early.append('copy went unseen: %s' % path)
            elif run_model.Journal(gone_at[path]).quit_attempts() < journal.quit_attempts():
                early.append('copy deleted before "quit": %s (journal then ended %r)'
                             % (path, (gone_at[path] or ['(empty)'])[-1]))
    deletions += ['appeared: ' + p for p in machine.strays()]
    return deletions, early


def check(machine, outcome):
    """{category: what was found} for one run on machine; every list is empty when all holds."""
    found = {c: [] for c in CATEGORIES}
    journal = outcome.journal
    if outcome.status == 'hang':
        found['hang'].append('still running after %d s' % RUN_BOUND)
    elif outcome.status != 0:
        found['crash'].append('exit status %s' % outcome.status)
    if outcome.left_running:
        found['left'].append('still running: %s' % outcome.left_running)
    for instance in journal.instances():
        end = journal.ends().get(instance)
        if end in (None, 'client-gone', 'timeout'):
            found['left'].append('host %d was not let go of: it ended %s' % (instance, end or 'never'))
    found['foreign'] += check_members(journal)
    found['match'] += check_match(journal)
    found['deletion'], found['early'] = check_files(machine, journal, outcome.gone_at)
    return found


def failed(found):
    return [c for c in CATEGORIES if found[c]]


def summary(found):
    return '; '.join('%s: %s' % (c, found[c][0]) for c in failed(found))
