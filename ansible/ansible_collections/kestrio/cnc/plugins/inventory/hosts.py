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
    C(#) comments are allowed. A bad line, or a name or address given twice, makes the whole file unusable
    (the error names its line), as for C(kestrio-dnc)."
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
'''

EXAMPLES = r'''
# floor.kestrio.yml
plugin: kestrio.cnc.hosts
hosts_file: hosts      # beside this file, e.g. from: kestrio-dnc fleet discover 10.4.0.0/22 --write hosts
group: hall_b
'''

import os

from ansible.errors import AnsibleParserError
from ansible.module_utils.common.text.converters import to_native, to_text
from ansible.plugins.inventory import BaseInventoryPlugin


def parse_hosts(text, default_port):
    """[(name, host, port)] of a hosts file, by kestrio-dnc's rules; ValueError('line N: ...')."""
    hosts, names, addresses = [], {}, {}
    if text.startswith(u'\ufeff'):  # Notepad's byte order mark
        text = text[1:]
    for number, line in enumerate(text.split(u'\n'), 1):
        fields = line.replace(u'\r', u' ').replace(u'\t', u' ').split(u' ')
        fields = [f for f in fields if f]
        for k, field in enumerate(fields):
            if field.startswith(u'#'):
                fields = fields[:k]
                break
        if not fields:
            continue
        if len(fields) > 2:
            raise ValueError('line %d: expected NAME HOST[:PORT] or HOST[:PORT], found %d fields' % (number, len(fields)))
        if any(ord(c) < 0x20 and c not in u' \t\r' for c in line):
            raise ValueError('line %d: a control character' % number)
        address = fields[-1]
        host, _, port_text = address.partition(u':')
        if not host:
            raise ValueError('line %d: "%s" has no host' % (number, address))
        port = default_port
        if u':' in address:
            if not (port_text.isdigit() and len(port_text) <= 5 and 1 <= int(port_text) <= 65535):
                raise ValueError('line %d: "%s" in "%s" is not a port from 1 to 65535' % (number, port_text, address))
            port = int(port_text)
        name = fields[0]
        if name in names:
            raise ValueError('line %d: the name %s is also on line %d' % (number, name, names[name]))
        where = u'%s:%d' % (host, port)
        if where in addresses:
            raise ValueError('line %d: %s is also on line %d' % (number, where, addresses[where]))
        names[name] = addresses[where] = number
        hosts.append((name, host, port))
    if not hosts:
        raise ValueError('no hosts')
    return hosts


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
        try:
            with open(hosts_file, 'rb') as f:
                text = to_text(f.read(), errors='surrogate_or_replace')
        except (IOError, OSError) as e:
            raise AnsibleParserError('%s: cannot be read: %s' % (hosts_file, to_native(e)))
        try:
            hosts = parse_hosts(text, self.get_option('port'))
        except ValueError as e:
            raise AnsibleParserError('%s: %s' % (hosts_file, to_native(e)))
        group = self.inventory.add_group(self.get_option('group'))
        for name, host, port in hosts:
            self.inventory.add_host(name, group=group)
            self.inventory.set_variable(name, 'ansible_host', host)
            self.inventory.set_variable(name, 'kestrio_port', port)
            self.inventory.set_variable(name, 'ansible_connection', 'local')
