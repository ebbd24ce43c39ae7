# -*- coding: utf-8 -*-
# Copyright 2026 The Kestrio Setup developers. All rights reserved.

from __future__ import absolute_import, division, print_function
__metaclass__ = type

DOCUMENTATION = r'''
---
name: hosts
short_description: CNC machines from a kestrio-dnc hosts file
version_added: 1.0.0
description:
  - "Reads a C(kestrio-dnc) hosts file (one made by C(kestrio-dnc fleet discover --write), or the plant's own)
    and gives one host per entry, with C(ansible_host), C(kestrio_port) and C(ansible_connection=local);
    the modules of this collection run on the controller and reach the machine over its DNC service."
  - "The hosts file holds one machine a line, C(NAME HOST[:PORT]) or C(HOST[:PORT]); blank lines and
    C(#) comments are allowed. It is read by C(kestrio-dnc fleet hosts --json), the reader of C(fleet status)
    and C(fleet change), so the inventory holds exactly the machines the fleet would run: a bad line, a name
    given twice or one machine given twice (by its resolved address and port, so C(127.0.0.1) and C(localhost)
    are one) makes the whole file unusable, with the error naming its line."
  - The inventory source is a YAML file whose name ends in C(kestrio.yml) or C(kestrio.yaml).
author:
  - Kestrio Setup developers
options:
  plugin:
    description: The name of this plugin.
    required: true
    choices: ['kestrio.cnc.hosts']
    type: str
  hosts_file:
    description: The hosts file; a relative path is taken from the inventory source's folder.
    required: true
    type: str
  port:
    description: The DNC port of an entry that gives none.
    type: int
    default: 3873
  group:
    description: The group every machine of the file joins.
    type: str
    default: kestrio
  kestrio_dnc:
    description: The C(kestrio-dnc) program that reads the hosts file, a path or a name looked up on C(PATH).
    type: str
    default: kestrio-dnc
'''

EXAMPLES = r'''
# floor.kestrio.yml
plugin: kestrio.cnc.hosts
hosts_file: hosts      # beside this file, e.g. from: kestrio-dnc fleet discover 10.4.0.0/22 --write hosts
group: hall_b
'''

import json
import os
import subprocess

from ansible.errors import AnsibleParserError
from ansible.module_utils.common.process import get_bin_path
from ansible.module_utils.common.text.converters import to_native, to_text
from ansible.plugins.inventory import BaseInventoryPlugin


def read_hosts(program, hosts_file, default_port):
    """[(name, host, port)] of a hosts file as kestrio-dnc reads it; ValueError('line N: ...')."""
    command = [program, '--port', str(default_port), 'fleet', 'hosts', hosts_file, '--json']
    try:
        process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        out, err = process.communicate()
    except (IOError, OSError) as e:
        raise ValueError('%s cannot be run: %s' % (program, to_native(e)))
    try:
        listing = json.loads(to_text(out, errors='surrogate_or_replace'))
        error, hosts = listing['error'], listing['hosts']
    except (ValueError, KeyError, TypeError):
        raise ValueError('%s gave no hosts (exit status %d): %s'
                         % (program, process.returncode, to_native(err or out).strip()))
    if error or process.returncode != 0:
        raise ValueError(error or to_native(err).strip())
    return [(h['name'], h['host'], h['port']) for h in hosts]


class InventoryModule(BaseInventoryPlugin):

    NAME = 'kestrio.cnc.hosts'

    def verify_file(self, path):
        return super(InventoryModule, self).verify_file(path) and path.endswith(('kestrio.yml', 'kestrio.yaml'))

    def parse(self, inventory, loader, path, cache=True):
        super(InventoryModule, self).parse(inventory, loader, path, cache)
        self._read_config_data(path)
        hosts_file = os.path.expanduser(self.get_option('hosts_file'))
        if not os.path.isabs(hosts_file):
            hosts_file = os.path.join(os.path.dirname(path), hosts_file)
        program = self.get_option('kestrio_dnc')
        if os.sep not in program:
            try:
                program = get_bin_path(program)
            except ValueError as e:
                raise AnsibleParserError(to_native(e))
        try:
            hosts = read_hosts(program, hosts_file, self.get_option('port'))
        except ValueError as e:
            raise AnsibleParserError('%s: %s' % (hosts_file, to_native(e)))
        group = self.inventory.add_group(self.get_option('group'))
        for name, host, port in hosts:
            self.inventory.add_host(name, group=group)
            self.inventory.set_variable(name, 'ansible_host', host)
            self.inventory.set_variable(name, 'kestrio_port', port)
            self.inventory.set_variable(name, 'ansible_connection', 'local')
