"""The stand-in host itself, driven once by a probe client (tests/e2e/HostProbe.cpp): a test double
that broke a contract of the real host would let the program pass for the wrong reason. A ctest
group (e2e_HostContract)."""
import os
import unittest

from machine import OnMachine
from run_model import IGNORED, PROBE_SCENARIO, REJECTED, RETRY_LATER


class HostContract(OnMachine):
    maxDiff = None

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        cls.output = os.path.join(cls.machine.prefix.root, 'probe.txt')
        cls.machine.reset()
        cls.machine.scenario(PROBE_SCENARIO)
        cls.outcome = cls.machine.run(os.environ['E2E_PROBE'], cls.output)

    def test_the_host_keeps_the_real_hosts_contracts(self):
        self.assertEqual(self.outcome.status, 0)
        self.assertEqual(self.outcome.left_running, [])
        with open(self.output) as f:
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
                'next while busy ' + RETRY_LATER, 'fetched 0',  # a busy answer reaches the client as it stands
                'next 3 00000001', 'fetched 2',         # fewer than asked: S_FALSE, count set
                'next 1 at the end 00000001', 'fetched 0',
                'reset 00000000',
                'skip 1 00000000',
                'skip 5 00000001',
                'put Installed without a workbook 80020009',
                'lookup Workbooks while busy ' + REJECTED,
                'lookup Workbooks 00000000',
                'get Workbooks 00000000',
                'call Add while busy ' + IGNORED,
                'call Add 00000000',
                'put Installed 00000000',
                'get Installed 00000000', 'installed 0',
                'put FullName 80020003',                # read-only
                'call Quit 00000000',
            ])
        journal = self.outcome.journal.plain()
        # The answers that no run of the program draws; test_removal pins the journal of the others.
        for line in ['1 app names Visible -> unknown',
                     '1 app call STARTUPPATH -> fail:80020003',
                     '1 enum next celt=3 -> S_FALSE fetched=2 obj:addin1 obj:addin2',
                     '1 addin2 put Installed args=bool:0 named=-3 -> fail:80020009',
                     '1 addin2 get Installed -> bool:0']:
            self.assertIn(line, journal)


if __name__ == '__main__':
    unittest.main()
