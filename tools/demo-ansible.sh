#!/usr/bin/env bash
# The plant's orchestrator drives the floor: six simulated CNCs, found by
# kestrio-dnc fleet discover, become an Ansible inventory through the
# collection kestrio.cnc (installed from its tarball into a scratch folder);
# a playbook changes them to Polish two at a time with a failure threshold,
# after a check run that touches nothing; run again, it changes nothing.
#
#   demo-ansible.sh BUILD-DIR      (./kestrio demo-ansible builds the native preset and calls this)
set -euo pipefail
build=$(cd "$1" && pwd)
top=$(cd "$(dirname "$0")/.." && pwd)
fleet="$top/tools/sim-fleet.sh"
work=$(mktemp -d /tmp/kestrio-ansible-XXXXXX)
# shellcheck source=style.sh
source "$(dirname "$0")/style.sh"
step() { printf '\n'; bold "-- $*"; }
trap '"$fleet" "$build" down "$work" >/dev/null 2>&1 || true' EXIT
export PATH=$build/cli:$PATH ANSIBLE_HOME=$work/ansible-home ANSIBLE_COLLECTIONS_PATH=$work/collections
export ANSIBLE_PYTHON_INTERPRETER=/usr/bin/python3 ANSIBLE_RETRY_FILES_ENABLED=0
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.77.0.2",0)); print(s.getsockname()[1])')

step "Six simulated CNCs on port $port, 127.77.0.2 to .7 (.4 is Polish already, .6 has no Polish pack)"
"$fleet" "$build" up "$work" 6 --spread "$port" seconds.shutdown=0.5 seconds.boot=0.5

step "The collection: tools/make-collection.sh, then ansible-galaxy collection install"
tarball=$("$top/tools/make-collection.sh" "$work/dist")
ansible-galaxy collection install "$tarball" -p "$work/collections"

step "The inventory: kestrio-dnc fleet discover writes the hosts file, kestrio.cnc.hosts reads it"
kestrio-dnc fleet discover 127.77.0.0/24 --port "$port" --write "$work/plant.hosts"
printf 'plugin: kestrio.cnc.hosts\nhosts_file: plant.hosts\n' | tee "$work/plant.kestrio.yml"
ansible-inventory -i "$work/plant.kestrio.yml" --graph

cat >"$work/polish.yml" <<'PLAY'
- name: Every machine in Polish
  hosts: kestrio
  gather_facts: false
  serial: 2
  max_fail_percentage: 50
  tasks:
    - name: Change the language
      kestrio.cnc.language:
        host: "{{ ansible_host }}"
        port: "{{ kestrio_port }}"
        name: Polish
        root: 'D:\LanguagePacks'
PLAY
step "The playbook: two at a time, a batch may lose one machine of two"
cat "$work/polish.yml"

step "ansible-playbook --check --diff: what would change; no tool runs on any machine"
ansible-playbook -i "$work/plant.kestrio.yml" "$work/polish.yml" --check --diff || true

step "ansible-playbook: the change, each machine followed through its restart (.6 fails: no Polish pack)"
ansible-playbook -i "$work/plant.kestrio.yml" "$work/polish.yml" || true

step "ansible-playbook again: nothing changes"
ansible-playbook -i "$work/plant.kestrio.yml" "$work/polish.yml" || true
