# -*- coding: utf-8 -*-
# Copyright 2026 The Kestrio Setup developers. All rights reserved.
"""The modules' one way to a machine: kestrio-dnc, run on the controller.

The CNC has no SSH and no Python; its Kestrio Setup answers on the DNC port.
kestrio-dnc holds the one implementation of the remote language change, so
the modules only call it (an argument list, never a shell string) and read
the JSON it prints for one host: the status row (`status --json`) or the
fleet report's host entry (`change --json -`).
"""

from __future__ import absolute_import, division, print_function
__metaclass__ = type

import json
import os

# Exit statuses of kestrio-dnc.
EXIT_FAILED = 1      # an error reply, an engine error, a wait that ran out
EXIT_NO_HOST = 2     # no connection or no usable answer
EXIT_NO_RESTART = 3  # change: the machine did not answer again in time

CONNECTION_ARGS = dict(
    host=dict(type='str', required=True),
    port=dict(type='int', default=3873),
    timeout=dict(type='int', default=5000),
    kestrio_dnc=dict(type='str', default='kestrio-dnc'),
)


def program(module):
    """The kestrio-dnc to run: a path as given, or a name looked up on PATH."""
    name = module.params['kestrio_dnc']
    if os.sep in name:
        if not os.access(name, os.X_OK):
            module.fail_json(msg='%s: not an executable program' % name)
        return name
    return module.get_bin_path(name, required=True)


def base_command(module):
    p = module.params
    if not 1 <= p['port'] <= 65535:
        module.fail_json(msg='port: %d is not a port from 1 to 65535' % p['port'])
    if p['timeout'] < 0:
        module.fail_json(msg='timeout: %d is not a number of milliseconds' % p['timeout'])
    return [program(module), '--host', p['host'], '--port', str(p['port']), '--timeout', str(p['timeout'])]


def run_json(module, args):
    """Runs kestrio-dnc with args; (exit status, the JSON it printed, stderr).

    A program that printed no JSON (an unusable command line, a missing
    program) fails the task with what it said.
    """
    rc, out, err = module.run_command(base_command(module) + args, check_rc=False)
    try:
        entry = json.loads(out)
    except ValueError:
        module.fail_json(msg='kestrio-dnc gave no JSON (exit status %d): %s' % (rc, (err or out).strip()),
                         rc=rc, stdout=out, stderr=err)
    if not isinstance(entry, dict):
        module.fail_json(msg='kestrio-dnc gave JSON that is not one host', rc=rc, stdout=out, stderr=err)
    return rc, entry, err


def read_status(module):
    """The host's status row: reachable, protocol, language, status, error, problem."""
    rc, entry, err = run_json(module, ['status', '--json', '-'])
    if rc not in (0, EXIT_NO_HOST):
        module.fail_json(msg='kestrio-dnc status: exit status %d: %s' % (rc, err.strip()), rc=rc)
    return entry


def run_change(module, language, root, scan_timeout, change_timeout, restart_timeout, follow_restart):
    """The change through kestrio-dnc; (exit status, the host entry, stderr)."""
    args = ['change', '--root', root, '--language', language, '--scan-timeout', str(scan_timeout),
            '--change-timeout', str(change_timeout), '--json', '-']
    if follow_restart:
        args += ['--restart-timeout', str(restart_timeout)]
    else:
        args += ['--no-follow']
    return run_json(module, args)
