"""The build tree that the demo, the benchmark and the soak run from: installs what the machine
lacks, then configures and builds everything into $BUILD_DIR (build/ in the source tree by default)."""
import os
import subprocess

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def ensure_built():
    """Returns the build directory, with everything in it built and the Wine template made."""
    build_dir = os.path.abspath(os.environ.get('BUILD_DIR', os.path.join(ROOT, 'build')))
    subprocess.run([os.path.join(ROOT, 'scripts', 'install-deps')], check=True)
    print('Building into %s ...' % build_dir, flush=True)
    subprocess.run(['cmake', '-S', ROOT, '-B', build_dir,
                    '-DCMAKE_TOOLCHAIN_FILE=' + os.path.join(ROOT, 'cmake', 'mingw-w64-i686.cmake'),
                    '-DCMAKE_BUILD_TYPE=Release'], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(['cmake', '--build', build_dir, '-j%d' % os.cpu_count()], check=True,
                   stdout=subprocess.DEVNULL)
    return build_dir
