"""Shows what brolendavir does: lays out a sample machine in a private Wine
prefix with the stand-in host in Excel's place, runs the program once, then prints the host's
journal of automation calls in order and which files were deleted and which were kept.

    scripts/demo [--all]      --all also shows each GetIDsOfNames lookup
Run by scripts/demo, which installs and builds first, with the build tree as first argument.
"""
import os
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, 'tests', 'support'))
import machine as standin  # noqa: E402
import run_model as sample  # noqa: E402
import wineprefix  # noqa: E402


def main(argv):
    build_dir, argv = argv[1], argv[:1] + argv[2:]  # the build tree, from scripts/demo
    show_lookups = '--all' in argv[1:]
    template = os.path.join(build_dir, 'wine-template')
    log = os.path.join(build_dir, 'logs', 'wine.log')
    print('==> Preparing a private Wine prefix (the first time takes a minute; log: %s)' % log,
          flush=True)
    try:
        wineprefix.make_template(template, log)
    except subprocess.CalledProcessError as error:
        print('FAILED: making the Wine prefix (%s exited with %s); its log is %s'
              % (error.cmd[0], error.returncode, log), file=sys.stderr)
        return 1
    except wineprefix.NoRoute as error:
        print('FAILED: %s' % error, file=sys.stderr)
        return 1

    program, host = standin.built(build_dir)
    print('==> Running the 32-bit brolendavir.exe under Wine against the 64-bit stand-in host',
          flush=True)
    with standin.Machine(template, host, program) as m:
        what = sample.lay_sample(m)
        outcome = m.run()

        print('\nThe stand-in host lists these add-ins:')
        for n, addin in enumerate(sample.SAMPLE_ADDINS, 1):
            print('  addin%d  %-45s %s' % (n, addin.path, addin.what))
        print('Its startup folder is %s and its library folder %s.' % (sample.STARTUP, sample.LIBRARY))

        print('\nJournal of the host (instance, object, event; every call with locale 0409):')
        for event in outcome.journal.events:
            if event.kind == 'names' and not show_lookups:
                continue
            print('  ' + event.plain)
        if not show_lookups:
            print('  (each call was preceded by a GetIDsOfNames lookup of its name; --all shows them)')

        print('\nFiles:')
        now = m.files()
        for path in m.laid:
            print('  %-8s %-45s %s' % ('deleted' if now[path] is None else 'kept', path, what[path]))
        print('\nExit status of brolendavir.exe: %s' % outcome.status)
        if outcome.left_running:
            print('Processes still running afterwards: %s' % outcome.left_running)
    return 0 if outcome.status == 0 and not outcome.left_running else 1


if __name__ == '__main__':
    sys.exit(main(sys.argv))
