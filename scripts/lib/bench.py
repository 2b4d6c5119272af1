"""Measures the current build: the program's size and imports; its whole run under Wine against
the stand-in host on the demo's sample machine (median of several runs) beside a floor probe that
only creates the host twice and asks it to quit, measured in the same invocation; and the number
of automation calls the run made against the number its rules require for that machine; and how
long the stand-in host's processes outlive the program.

    scripts/bench [--runs N]        (default 7 runs each)
Run by scripts/bench, which installs and builds first, with the build tree as first argument.
"""
import os
import statistics
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'support'))
import machine as standin  # noqa: E402
import run_model  # noqa: E402
import wineprefix  # noqa: E402

import pefile  # noqa: E402


def timed(m, program):
    """One run on the sample machine: seconds until the program ended, seconds the hosts outlived
    it, and the journal."""
    m.reset()
    run_model.lay_sample(m)
    outcome = m.run(program, watch=False)
    if outcome.status != 0 or outcome.left_running:
        raise SystemExit('run failed: status %s, left running %s' % (outcome.status, outcome.left_running))
    return outcome.seconds, outcome.hosts_after, outcome.journal


def main(argv):
    build_dir, argv = argv[1], argv[:1] + argv[2:]  # the build tree, from scripts/bench
    runs = int(argv[argv.index('--runs') + 1]) if '--runs' in argv else 7
    template = os.path.join(build_dir, 'wine-template')
    wineprefix.make_template(template)
    program, host = standin.built(build_dir)
    pe = pefile.PE(program)
    print('brolendavir.exe (32-bit): %d bytes' % os.path.getsize(program))
    print('imports: %s' % ', '.join(sorted(e.dll.decode().lower() for e in pe.DIRECTORY_ENTRY_IMPORT)))
    if wineprefix.inside_namespace():
        print('(this kernel runs no 32-bit programs: the run and the floor probe below both ran'
              ' emulated by qemu-i386, the 64-bit host natively)')

    probe = os.path.join(build_dir, 'tests', 'bench', 'bench_probe.exe')
    with standin.Machine(template, host, program) as m:
        timed(m, None)  # warms the prefix's wineserver and file caches
        program_times, probe_times, hosts_ends = [], [], []
        journal = None
        for _ in range(runs):  # interleaved, so drift touches both alike
            elapsed, hosts_end, journal = timed(m, None)
            program_times.append(elapsed)
            hosts_ends.append(hosts_end)
            probe_times.append(timed(m, probe)[0])

    program_median = statistics.median(program_times)
    probe_median = statistics.median(probe_times)
    print('whole run under Wine, sample machine, median of %d: %.2f s (min %.2f, max %.2f)'
          % (runs, program_median, min(program_times), max(program_times)))
    print('floor probe (create twice, quit), median of %d:   %.2f s (min %.2f, max %.2f)'
          % (runs, probe_median, min(probe_times), max(probe_times)))
    ratio = program_median / probe_median
    print('ratio run / floor: %.2f%s' % (ratio, '' if ratio <= 1.05 else '  <-- OVER 1.05'))
    print('last host process ended after the program, median of %d: %.2f s (max %.2f)'
          % (runs, statistics.median(hosts_ends), max(hosts_ends)))
    made, looked_up = journal.served()
    needed, needed_lookups = run_model.required_on_sample()
    print('automation calls (Invoke): made %d, required %d%s'
          % (made, needed, '' if made == needed else '  <-- MISMATCH'))
    print('name lookups (GetIDsOfNames): made %d, required %d%s'
          % (looked_up, needed_lookups, '' if looked_up == needed_lookups else '  <-- MISMATCH'))
    return 0 if (made, looked_up) == (needed, needed_lookups) else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
