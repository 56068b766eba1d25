#!/usr/bin/python
# -*- coding: utf-8 -*-
# MIT License (see galaxy.yml)

from __future__ import annotations

DOCUMENTATION = r"""
---
module: velk_status
short_description: Report what velk-setup-system finds in a target directory
version_added: "0.1.0"
description:
  - Runs C(velk-setup-system status --json) on a target and returns its status
    document, both as C(status) and as the fact C(velk_status).
  - Reads only; it never changes the target, and runs the same in check mode.
options:
  target:
    description: The directory the product reads its configuration from.
    type: path
    required: true
  scope:
    description:
      - Measure the target under this scope. Omitted, the target's own record decides.
    type: str
    choices: [project, user_root]
  binary:
    description:
      - The C(velk-setup-system) program on the managed host, as a path or a
        name looked up on the search path.
    type: str
    default: velk-setup-system
seealso:
  - module: velk.setup.velk_setup
author:
  - velk-setup-system developers
"""

EXAMPLES = r"""
- name: Read the target's status
  velk.setup.velk_status:
    target: /home/dev/.velk

- name: Check that the setup is still as it was applied
  ansible.builtin.assert:
    that:
      - velk_status.drift_state | default('') == 'clean'
      - velk_status.provider_state.setup_stable_id == 'baseline'
"""

RETURN = r"""
status:
  description:
    - The status document as the provider printed it. C(drift_state) is
      present, and C(clean), only when what the provider owns in the target is
      exactly what it recorded writing.
  returned: success
  type: dict
  contains:
    state:
      description: C(managed), C(unmanaged) or C(missing).
      type: str
      sample: managed
    target_identity_digest:
      description: The identity digest of what the provider owns in the target, measured now.
      type: str
    provider_state:
      description: >-
        What the provider's state file records: C(present), C(readable),
        C(setup_stable_id), C(setup_version), C(operation_id), C(backup_ref),
        C(recorded_identity) and C(drift_state).
      type: dict
    cleanup_state:
      description: C(none), or C(pending)/C(required) while an interrupted change awaits recovery.
      type: str
    journal:
      description: The published journal of an interrupted change, or null.
      type: dict
    backups:
      description: The backup slots, newest first, each with C(backup_ref), C(operation), C(setup_id), C(held) and C(hold_reason).
      type: list
      elements: dict
ansible_facts:
  description: The same document as the fact C(velk_status).
  returned: success
  type: dict
  contains:
    velk_status:
      description: The status document.
      type: dict
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velk.setup.plugins.module_utils.velk_common import (
    BINARY_OPTION, HANDLED, fail, provider_for)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            target=dict(type="path", required=True),
            scope=dict(type="str", choices=["project", "user_root"]),
            binary=BINARY_OPTION,
        ),
        supports_check_mode=True,
    )
    try:
        status = provider_for(module).status(module.params["target"], module.params["scope"])
    except HANDLED as error:
        fail(module, error)
    module.exit_json(changed=False, status=status.document,
                     ansible_facts=dict(velk_status=status.document))


if __name__ == "__main__":
    main()
