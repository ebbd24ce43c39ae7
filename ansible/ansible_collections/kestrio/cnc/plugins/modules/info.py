#!/usr/bin/python
# -*- coding: utf-8 -*-
# Copyright 2026 The Kestrio Setup developers. All rights reserved.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
module: info
short_description: Read the state of a CNC machine that runs Kestrio Setup
version_added: 1.0.0
description:
  - Reads one machine's row of C(kestrio-dnc fleet status) through C(kestrio-dnc status --json), on the
    controller; whether its DNC service answers, the protocol version, the current language and the status
    of its last operation with the machine's error text.
  - Reads only; a machine that cannot be reached is reported (C(reachable) false), not failed.
author:
  - Kestrio Setup developers
options:
  host:
    description: Address or name of the machine's DNC service, usually C("{{ ansible_host }}").
    type: str
    required: true
  port:
    description: TCP port of the DNC service (the inventory's C(kestrio_port)).
    type: int
    default: 3873
  timeout:
    description: Milliseconds to wait for the connection and for each reply.
    type: int
    default: 5000
  kestrio_dnc:
    description: The C(kestrio-dnc) program, a path or a name looked up on C(PATH).
    type: str
    default: kestrio-dnc
attributes:
  check_mode:
    support: full
    details: Reads only, in either mode.
  diff_mode:
    support: none
seealso:
  - module: kestrio.cnc.language
'''

EXAMPLES = r'''
- name: Read every machine's language
  kestrio.cnc.info:
    host: "{{ ansible_host }}"
    port: "{{ kestrio_port }}"
  register: cnc

- name: Show it
  ansible.builtin.debug:
    msg: "{{ inventory_hostname }}: {{ cnc.language }} ({{ 'busy' if cnc.status == 1 else 'idle' }})"
'''

RETURN = r'''
name:
  description: The host as given in I(host).
  returned: always
  type: str
address:
  description: Host and port as used.
  returned: always
  type: str
  sample: 10.4.0.17:3873
reachable:
  description: The machine answered as a Kestrio Setup.
  returned: always
  type: bool
protocol:
  description: The DNC service's protocol version (empty when not reachable).
  returned: always
  type: str
  sample: "1"
language:
  description: The machine's current language (empty when not reachable).
  returned: always
  type: str
  sample: German
status:
  description: C(KESTRIO.STATUS) 0 idle, 1 busy, a negative code when the last operation failed.
  returned: always
  type: int
error:
  description: The machine's text of a negative I(status).
  returned: always
  type: str
  sample: System is protected. Change to Administrator mode, please.
problem:
  description: Why the machine could not be reached (empty when it was).
  returned: always
  type: str
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kestrio.cnc.plugins.module_utils.kestrio_dnc import CONNECTION_ARGS, read_status


def main():
    module = AnsibleModule(argument_spec=dict(CONNECTION_ARGS), supports_check_mode=True)
    module.exit_json(changed=False, **read_status(module))


if __name__ == '__main__':
    main()
