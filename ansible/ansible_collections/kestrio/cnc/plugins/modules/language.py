#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright 2026 The Kestrio Setup developers. All rights reserved.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: language
short_description: Change the user-interface language of a CNC machine that runs Kestrio Setup
version_added: 1.0.0
description:
  - Runs the remote language change of Kestrio Setup on one CNC machine through C(kestrio-dnc change),
    on the controller. The CNC has no SSH and no Python; it is reached over its DNC service (TCP).
  - The machine scans the pack folder I(root), installs the pack of I(name) with its package tool, sets the
    boot locale, removes the other packs and restarts; the module follows the restart to the language the
    machine comes back in.
  - A machine already in the language is left alone (C(ok), not C(changed)).
  - A machine that refuses (busy, no such pack, write filter on, short of space) fails the task with the
    machine's own text and code.
author:
  - Kestrio Setup developers
options:
  host:
    description:
      - Address or name of the machine's DNC service, usually C("{{ ansible_host }}") from the
        C(kestrio.cnc.hosts) inventory.
    type: str
    required: true
  port:
    description: TCP port of the DNC service (the inventory's C(kestrio_port)).
    type: int
    default: 3873
  name:
    description: The language to change to, as the machine's scan lists it (C(French), C(Polish)).
    type: str
    required: true
  root:
    description: The folder of language-pack cabinets on the machine, for example C(D:\LanguagePacks).
    type: str
    required: true
  timeout:
    description: Milliseconds to wait for the connection and for each reply.
    type: int
    default: 5000
  scan_timeout:
    description: Seconds the machine's scan of I(root) may take.
    type: int
    default: 600
  change_timeout:
    description: Seconds the change may take.
    type: int
    default: 3600
  restart_timeout:
    description: Seconds to wait for the machine's restart after the change and for its answer.
    type: int
    default: 900
  follow_restart:
    description:
      - Follow the machine's restart and check the language it comes back in.
      - With C(false) the task ends once the pack is installed; the machine restarts on its own.
    type: bool
    default: true
  kestrio_dnc:
    description: The C(kestrio-dnc) program, a path or a name looked up on C(PATH).
    type: str
    default: kestrio-dnc
attributes:
  check_mode:
    support: full
    details: Reads the machine's state only; no scan, no tool is run, nothing is written to the machine.
  diff_mode:
    support: full
    details: The language before and after.
notes:
  - Runs on the controller; the C(kestrio.cnc.hosts) inventory sets C(ansible_connection=local).
  - The machine restarts after a change; with I(follow_restart) the task takes that time too.
seealso:
  - module: kestrio.cnc.info
'''

EXAMPLES = r'''
- name: Every machine in Polish, two at a time, the run stopping after a failure in three
  hosts: kestrio
  gather_facts: false
  serial: 2
  max_fail_percentage: 34
  tasks:
    - name: Change the language
      kestrio.cnc.language:
        host: "{{ ansible_host }}"
        port: "{{ kestrio_port }}"
        name: Polish
        root: 'D:\LanguagePacks'
'''

RETURN = r'''
name:
  description: The host as given in I(host).
  returned: always
  type: str
  sample: 10.4.0.17
address:
  description: Host and port as used.
  returned: always
  type: str
  sample: 10.4.0.17:3873
result:
  description:
    - C(done) changed, C(skipped) already in the language, C(failed), or in check mode
      C(not started) (a change would run).
  returned: always
  type: str
  sample: done
code:
  description: The machine's error code of a failure (negative), 0 otherwise.
  returned: always
  type: int
  sample: -10
text:
  description: What happened, or the machine's own text of a failure.
  returned: always
  type: str
  sample: Polish, after the restart
seconds:
  description: Seconds of the scan, the change and in all (0 when a step did not run).
  returned: always
  type: dict
  sample: {"scan": 1.2, "change": 40.5, "total": 41.7}
before:
  description: The language the machine ran before.
  returned: always
  type: str
  sample: German
after:
  description: The language the machine came back in after its restart (empty when not followed).
  returned: always
  type: str
  sample: Polish
restart_followed:
  description: Whether the machine was seen going down and answering again.
  returned: always
  type: bool
  sample: true
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrio.cnc.plugins.module_utils.kestrio_dnc import (
    CONNECTION_ARGS, read_status, run_change)


def entry(host, port, result, text, before, after='', code=0, restart_followed=False, seconds=None):
    """A host entry of the report's form, for the ends the module tells itself."""
    return dict(name=host, address='%s:%d' % (host, port), result=result, code=code, text=text,
                seconds=seconds or dict(scan=0.0, change=0.0, total=0.0), before=before, after=after,
                restart_followed=restart_followed)


def main():
    argument_spec = dict(CONNECTION_ARGS)
    argument_spec.update(
        name=dict(type='str', required=True),
        root=dict(type='str', required=True),
        scan_timeout=dict(type='int', default=600),
        change_timeout=dict(type='int', default=3600),
        restart_timeout=dict(type='int', default=900),
        follow_restart=dict(type='bool', default=True),
    )
    module = AnsibleModule(argument_spec=argument_spec, supports_check_mode=True)
    p = module.params
    for option in ('scan_timeout', 'change_timeout', 'restart_timeout'):
        if p[option] < 1:
            module.fail_json(msg='%s: %d is not a positive number of seconds' % (option, p[option]))
    for option in ('name', 'root'):
        if not p[option]:
            module.fail_json(msg='%s: give a value' % option)
    language = p['name']

    # The state is read first in every mode: a machine already in the
    # language is ok, and a check run ends here without writing anything.
    status = read_status(module)
    if not status['reachable']:
        module.fail_json(msg=status['problem'], **entry(p['host'], p['port'], 'failed', status['problem'], ''))
    before = status['language']
    diff = dict(before='language: %s\n' % before, after='language: %s\n' % language)
    if before == language:
        diff['after'] = diff['before']
        module.exit_json(changed=False, diff=diff,
                         **entry(p['host'], p['port'], 'skipped', 'already ' + language, before, before))
    if module.check_mode:
        # A busy machine would refuse the change (kestrio-dnc change says so in a run).
        if status['status'] == 1:
            text = ('the host is busy (KESTRIO.STATUS is 1): a scan or a language change is under way; '
                    'try again when it has finished')
            module.fail_json(msg=text, **entry(p['host'], p['port'], 'failed', text, before))
        module.exit_json(changed=True, diff=diff,
                         **entry(p['host'], p['port'], 'not started',
                                 'check mode: would change %s to %s' % (before, language), before))

    rc, result, err = run_change(module, language, p['root'], p['scan_timeout'], p['change_timeout'],
                                 p['restart_timeout'], p['follow_restart'])
    if result.get('after'):
        diff['after'] = 'language: %s\n' % result['after']
    if rc != 0:
        module.fail_json(msg=result.get('text') or err.strip(), rc=rc, diff=diff, **result)
    module.exit_json(changed=True, diff=diff, **result)


if __name__ == '__main__':
    main()
