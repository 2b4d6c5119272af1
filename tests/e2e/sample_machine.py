"""The sample machine of the demo and the benchmark: a few add-ins, some matching, copies of the
add-in in the startup and library folders, and an unrelated file beside them."""
import machine as standin

STARTUP = r'C:\excel\xlstart'
LIBRARY = r'C:\excel\library'
# (full name, what the file is) for each add-in the host lists, in its order.
ADDINS = [
    (r'C:\addins\QuantorelixExcelLink.xla', 'matching'),
    (LIBRARY + r'\solver.xla', 'not matching'),
    (r'C:\Tools\QuantorelixExcel\TOOLS.XLA', 'matching (by its folder)'),
    (r'C:\addins\hidden\QuantorelixExcelLink.xla', 'matching, hidden'),
]
OTHER_FILES = [
    (STARTUP + r'\QuantorelixExcelLink.xla', 'copy in the startup folder'),
    (LIBRARY + r'\QuantorelixExcelLink.xla', 'copy in the library folder'),
    (STARTUP + r'\personal.xlsb', 'unrelated'),
]


def lay_out(m):
    """Lays the sample machine out on m (a machine.Machine); returns {path: what it is}."""
    what = {}
    for path, kind in ADDINS + OTHER_FILES:
        m.file(path, attribute=standin.HIDDEN if 'hidden' in kind else None)
        what[path] = kind
    m.scenario('1 StartupPath str:%s\n1 LibraryPath str:%s\n' % (STARTUP, LIBRARY)
               + ''.join('* addin str:%s\n' % path for path, _ in ADDINS))
    return what
