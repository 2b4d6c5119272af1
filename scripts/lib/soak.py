"""Runs brolendavir.exe against many stand-in hosts drawn at random, and checks on each run what
holds for every run (tests/support/invariants.py): it ends by itself with status 0, makes only the
calls of its member table, the way it makes them, uninstalls exactly the add-ins that hold the key,
deletes no file it must not, deletes the copies only after "quit", and leaves no host running.

    scripts/soak [N] [--from SEED] [--jobs J]     N seeds (default 200) from SEED (default 0)
    scripts/soak --show SEED                       one seed: its host, the journal, the verdict
Run by scripts/soak, which installs and builds first, with the build tree as first argument.
Exit status 1 when any seed failed. A failing seed belongs in FOUND in
tests/hardening/test_random_hosts.py, with what it found.
"""
import argparse
import os
import queue
import sys
import threading
import time
import traceback

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'hardening'))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'support'))
import invariants  # noqa: E402
import wineprefix  # noqa: E402
from machine import Machine, built  # noqa: E402
from random_host import RandomHost  # noqa: E402
from test_random_hosts import run_host  # noqa: E402

TITLES = {'crash': 'crashes', 'hang': 'hangs', 'foreign': 'foreign calls', 'match': 'wrong add-ins uninstalled',
          'deletion': 'wrong deletions', 'early': 'copies deleted before quit', 'left': 'left-over hosts'}


class Verdict:
    """One seed's run: what the checker found, and what the run did."""

    def __init__(self, seed, outcome=None, found=None, deleted=0, copies_seen=0):
        self.seed = seed
        self.outcome = outcome
        self.found = found or {c: [] for c in invariants.CATEGORIES}
        self.deleted = deleted          # laid files the run deleted (to show the checks are not idle)
        self.copies_seen = copies_seen  # copies seen going while the program ran
        self.quit = bool(outcome and outcome.journal.quit_called())

    def failed(self):
        return invariants.failed(self.found)

    def summary(self):
        return invariants.summary(self.found)


def judge(machine, host):
    outcome, found = run_host(machine, host)
    copies = {invariants.file_key(text) for text in outcome.journal.copies()} - {None}
    return Verdict(host.seed, outcome, found, sum(now is None for now in machine.files().values()),
                   sum(invariants.file_key(path) in copies for path in outcome.gone_at))


def soak(template, host_exe, program, seeds, jobs):
    pending = queue.Queue()
    for seed in seeds:
        pending.put(seed)
    verdicts = {}
    lock = threading.Lock()

    def work():
        with Machine(template, host_exe, program) as machine:
            while True:
                try:
                    seed = pending.get_nowait()
                except queue.Empty:
                    return
                try:
                    verdict = judge(machine, RandomHost(seed))
                except Exception:
                    verdict = Verdict(seed)
                    verdict.found['crash'].append('exception in the harness: ' +
                                                  traceback.format_exc().strip().splitlines()[-1])
                with lock:
                    verdicts[seed] = verdict
                    if verdict.failed():
                        print('  seed %d: %s' % (seed, verdict.summary()), flush=True)
                    if len(verdicts) % 25 == 0:
                        print('  %d of %d seeds run' % (len(verdicts), len(seeds)), flush=True)

    workers = [threading.Thread(target=work) for _ in range(jobs)]
    for worker in workers:
        worker.start()
    for worker in workers:
        worker.join()
    return [verdicts[s] for s in seeds if s in verdicts]


def show(template, host_exe, program, seed):
    host = RandomHost(seed)
    with Machine(template, host_exe, program) as machine:
        verdict = judge(machine, host)
    print(host.describe())
    print('journal:')
    for line in verdict.outcome.journal.lines:
        print('  ' + line)
    print('exit status %s; deleted %d laid files' % (verdict.outcome.status, verdict.deleted))
    for category in verdict.failed():
        for found in verdict.found[category]:
            print('%s: %s' % (category, found))
    print('verdict: ' + ('failed' if verdict.failed() else 'every invariant holds'))
    return 1 if verdict.failed() else 0


def main(argv):
    build_dir, argv = argv[1], argv[:1] + argv[2:]  # the build tree, from scripts/soak
    parser = argparse.ArgumentParser(description='brolendavir against random stand-in hosts')
    parser.add_argument('count', nargs='?', type=int, default=200)
    parser.add_argument('--from', dest='start', type=int, default=0)
    parser.add_argument('--jobs', type=int, default=2)
    parser.add_argument('--show', type=int)
    args = parser.parse_args(argv[1:])

    template = os.path.join(build_dir, 'wine-template')
    wineprefix.make_template(template)
    program, host_exe = built(build_dir)
    if args.show is not None:
        return show(template, host_exe, program, args.show)

    seeds = list(range(args.start, args.start + args.count))
    print('Soaking: %d seeds from %d, %d at a time ...' % (len(seeds), args.start, args.jobs), flush=True)
    began = time.monotonic()
    verdicts = soak(template, host_exe, program, seeds, max(1, args.jobs))
    elapsed = time.monotonic() - began

    failing = [v for v in verdicts if v.failed()]
    print('\nseeds run                   %d (%d to %d)' % (len(verdicts), seeds[0], seeds[-1]))
    for category in invariants.CATEGORIES:
        print('%-27s %d' % (TITLES[category], sum(1 for v in verdicts if v.found[category])))
    print('(the runs deleted %d laid files in all, %d of them copies seen going while the program ran;'
          ' "quit" was called in %d runs)' % (sum(v.deleted for v in verdicts),
                                               sum(v.copies_seen for v in verdicts), sum(v.quit for v in verdicts)))
    if failing:
        print('failing seeds (scripts/soak --show SEED for one in full):')
        for verdict in failing:
            print('  %d  %s' % (verdict.seed, verdict.summary()))
    else:
        print('failing seeds: none')
    print('wall time %.0f s' % elapsed)
    return 1 if failing or len(verdicts) < len(seeds) else 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
