#!/usr/bin/env python3
"""The logind inhibitor of the real odd-fwupdate, against a private system bus.

A dbus-daemon of the test's own carries python-dbusmock's logind template. The end-to-end
runner runs the real program with the preloaded virtual drives and gives it that bus; the
preloaded library writes down, at each command a drive receives and at the program's exit,
how many pipes the program holds that it was not started with. logind's inhibitor is the
write end of a pipe (the mock's too), so that count is 1 exactly while it is held.

    logind_test.py RUNNER PROGRAM PRELOAD SCENARIO-FOLDER LOGIND-SCENARIO-FOLDER WORK-FOLDER
"""
import os
import subprocess
import sys
import unittest

import dbus
import dbusmock

RUNNER, PROGRAM, PRELOAD, SCENARIOS, LOGIND_SCENARIOS, WORK = sys.argv[1:7]
MANAGER = 'org.freedesktop.login1.Manager'
WHAT = ('shutdown:sleep:idle:handle-lid-switch:handle-power-key:handle-suspend-key:'
        'handle-hibernate-key')


def pipes_held(name):
    """(drive, command, pipes) per command in order, and the pipes held at exit."""
    with open(os.path.join(WORK, name, 'out', 'pipes.txt'), encoding='ascii') as record:
        lines = [line.split() for line in record if line.strip()]
    commands = [(words[0], words[1], int(words[2].split('=')[1])) for words in lines[:-1]]
    assert lines[-1][0] == 'exit'
    return commands, int(lines[-1][1].split('=')[1])


class LogindInhibitor(dbusmock.DBusTestCase):
    @classmethod
    def setUpClass(cls):
        cls.start_system_bus()

    def setUp(self):
        self.server = None

    def tearDown(self):
        if self.server is not None:
            self.server.terminate()
            self.server.wait()

    def start_logind(self):
        self.server, manager = self.spawn_server_template('logind', {}, stdout=subprocess.DEVNULL)
        self.mock = dbus.Interface(manager, dbusmock.MOCK_IFACE)
        self.manager = dbus.Interface(manager, MANAGER)

    def run_scenario(self, path, bus=True):
        """The runner's own checks (output, boxes, drives, trace) must pass."""
        command = [RUNNER, PROGRAM, PRELOAD, path, WORK]
        if bus:
            command.append('--system-bus=' + os.environ['DBUS_SYSTEM_BUS_ADDRESS'])
        done = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                              text=True, timeout=120, check=False)
        self.assertEqual(done.returncode, 0, done.stdout)
        return os.path.splitext(os.path.basename(path))[0]

    def inhibit_calls(self):
        return [[str(arg) for arg in call[1]] for call in self.mock.GetMethodCalls('Inhibit')]

    def assert_held_for_every_write(self, commands, drive):
        """Not held before the drive is written; held at every WRITE BUFFER, the commit
        (3b/05/ff) included, and until the drive's procedure ends."""
        own = [(item, pipes) for name, item, pipes in commands if name == drive]
        writes = [i for i, (item, _) in enumerate(own) if item.startswith('3b/')]
        self.assertTrue(writes)
        self.assertTrue(any(item == '3b/05/ff' for item, _ in own))
        for i, (item, pipes) in enumerate(own):
            expected = 1 if writes[0] <= i else 0
            self.assertEqual(pipes, expected, f'{drive} command {i} ({item}): {own}')

    def test_held_from_the_first_write_through_the_commit(self):
        self.start_logind()
        name = self.run_scenario(os.path.join(SCENARIOS, 'one_drive_en.scenario'))
        self.assertEqual(self.inhibit_calls(),
                         [[WHAT, 'odd-fwupdate', 'Writing the firmware of DVD drive D: (/dev/sr0)',
                           'block']])
        commands, at_exit = pipes_held(name)
        self.assert_held_for_every_write(commands, 'sr0')
        self.assertEqual(at_exit, 0, 'the inhibitor was still open when the program ended')
        self.assertEqual(len(self.manager.ListInhibitors()), 0)

    def test_released_after_each_drive(self):
        self.start_logind()
        name = self.run_scenario(os.path.join(SCENARIOS, 'two_drives_yes.scenario'))
        calls = self.inhibit_calls()
        self.assertEqual([call[2] for call in calls],
                         ['Writing the firmware of DVD drive D: (/dev/sr0)',
                          'Writing the firmware of DVD drive E: (/dev/sr1)'])
        self.assertTrue(all(call[0] == WHAT and call[3] == 'block' for call in calls), calls)
        commands, at_exit = pipes_held(name)
        # Each drive's own writes are held; the second drive's commands before its first
        # write are not, so the first drive's inhibitor was closed after its update.
        self.assert_held_for_every_write(commands, 'sr0')
        self.assert_held_for_every_write(commands, 'sr1')
        self.assertEqual(at_exit, 0)

    def test_none_taken_when_nothing_is_written(self):
        self.start_logind()
        for scenario in ('list_drives', 'consent_declined', 'battery_low_refused'):
            with self.subTest(scenario=scenario):
                name = self.run_scenario(os.path.join(SCENARIOS, scenario + '.scenario'))
                self.assertEqual(self.inhibit_calls(), [])
                commands, at_exit = pipes_held(name)
                self.assertEqual([pipes for _, _, pipes in commands if pipes != 0], [])
                self.assertEqual(at_exit, 0)

    def test_refused_inhibitor_is_said_once_and_the_update_goes_on(self):
        # A logind whose Inhibit is refused, as polkit refuses it to a remote user.
        self.server = self.spawn_server('org.freedesktop.login1', '/org/freedesktop/login1',
                                        MANAGER, system_bus=True, stdout=subprocess.DEVNULL)
        manager = self.get_dbus(system_bus=True).get_object('org.freedesktop.login1',
                                                            '/org/freedesktop/login1')
        self.mock = dbus.Interface(manager, dbusmock.MOCK_IFACE)
        self.mock.AddMethod(MANAGER, 'Inhibit', 'ssss', 'h',
                            'raise dbus.exceptions.DBusException("Permission denied", '
                            'name="org.freedesktop.DBus.Error.AccessDenied")')
        self.run_scenario(os.path.join(LOGIND_SCENARIOS, 'inhibitor_refused.scenario'))
        self.assertEqual(len(self.inhibit_calls()), 1)

    def test_without_logind_on_the_bus_nothing_is_said(self):
        # A bus without logind (a container): the scenario's empty standard error holds.
        self.run_scenario(os.path.join(SCENARIOS, 'no_power_supply.scenario'))

    def test_without_any_bus_the_drive_is_updated(self):
        self.run_scenario(os.path.join(SCENARIOS, 'no_power_supply.scenario'), bus=False)


if __name__ == '__main__':
    unittest.main(argv=[sys.argv[0]], verbosity=2)
