#!/usr/bin/python
# -*- coding: utf-8 -*-
# MIT License (see galaxy.yml)

from __future__ import annotations

DOCUMENTATION = r"""
---
module: velk_setup
short_description: Put a Velk Build setup into a target directory, take it away, or restore a backup
version_added: "0.1.0"
description:
  - Drives C(velk-setup-system) over its two-phase provider protocol. Each run
    plans the change first, and then applies exactly that plan, behind a
    backup slot that the provider captures before it writes anything.
  - With I(state=present) the target receives a catalog setup (I(setup)) or a
    directory of setup files packed into a bundle (I(bundle_dir)). A target
    that already holds that setup, exactly as the provider left it, is not
    changed.
  - With I(state=absent) everything the provider owns in the target is taken
    away; a target where the provider has applied no setup is refused, so that
    files a person put there are never taken. With I(state=restored) a backup
    slot is put back.
  - The slot captured before a change is returned as C(backup_ref), so a later
    task or play can restore it.
  - In check mode the change is planned exactly as a real run plans it, and
    its effects are reported; nothing is applied. A plan the provider refuses
    fails the task in check mode too. With C(--diff) the effects are shown as
    the diff.
options:
  target:
    description:
      - The directory the product reads its configuration from on the managed
        host. It must exist.
    type: path
    required: true
  setup:
    description:
      - The id of a setup in the provider's catalog, for example C(baseline).
      - Mutually exclusive with I(bundle_dir).
    type: str
  bundle_dir:
    description:
      - A directory on the managed host holding setup files, packed into a bundle
        before planning. It mirrors the target (C(AGENTS.md), C(skills/NAME/SKILL.md), ...)
        or holds C(setup.json) and a C(home) tree.
      - Every file is checked the way the provider checks bundles (path rules,
        owned surfaces, limits) before anything is planned.
      - Mutually exclusive with I(setup).
    type: path
  setup_id:
    description:
      - The id recorded for a I(bundle_dir) setup. Defaults to the id its
        C(setup.json) names, or the directory's name.
    type: str
  scope:
    description:
      - Which kind of target this is. Omit it for the product's own
        configuration home.
      - C(user_root) is a root several products read, where only C(skills) is
        written and only what the provider recorded writing is removed.
    type: str
    choices: [project, user_root]
  state:
    description:
      - C(present) puts the setup in place, C(absent) removes what the provider
        owns, C(restored) puts a backup slot back.
    type: str
    choices: [present, absent, restored]
    default: present
  backup_ref:
    description:
      - With I(state=restored), the slot to restore, such as a C(backup_ref)
        returned by an earlier run. Omitted, the most recent slot is restored.
    type: str
  hold:
    description:
      - Hold the slot captured by this run, so the pool's rotation never
        evicts it (for example to keep the state from before a rollout).
    type: bool
    default: false
  hold_reason:
    description:
      - The reason recorded with I(hold).
    type: str
  binary:
    description:
      - The C(velk-setup-system) program on the managed host, as a path or a
        name looked up on the search path.
    type: str
    default: velk-setup-system
notes:
  - The managed host needs C(velk-setup-system) and Python 3.9 or later; the
    module's client library uses the Python standard library only.
  - A refusal fails the task with the provider's reason code in C(reason) and
    its explanation in C(detail), and with C(changed) false, as nothing was changed.
    Only an apply that stopped part way through its change (the target then
    needs C(velk-setup-system recover-operation)) fails with C(changed) true.
seealso:
  - module: velk.setup.velk_status
  - module: velk.setup.velk_software
author:
  - velk-setup-system developers
"""

EXAMPLES = r"""
- name: Put the baseline setup in place
  velk.setup.velk_setup:
    target: /home/dev/.velk
    setup: baseline
  register: rolled

- name: Deliver the team's own setup files, keeping the previous state
  velk.setup.velk_setup:
    target: /home/dev/.velk
    bundle_dir: /srv/team-setup
    hold: true
    hold_reason: before the team setup

- name: Put back what was there before the rollout
  velk.setup.velk_setup:
    target: /home/dev/.velk
    state: restored
    backup_ref: "{{ rolled.backup_ref }}"

- name: Take away everything the provider wrote
  velk.setup.velk_setup:
    target: /home/dev/.velk
    state: absent
"""

RETURN = r"""
operation:
  description: The protocol operation planned (install, replace, remove, restore), or null when nothing was to be done.
  returned: always
  type: str
  sample: install
plan_digest:
  description: The digest of the plan that was applied, or that check mode would apply.
  returned: when a plan was made
  type: str
  sample: sha256:a7f284c5f89000495d37546b773c363a812b3b675c7960158b8382f00c4316a7
effects:
  description: What the plan does, in the order it will happen, in the provider's words.
  returned: always
  type: list
  elements: str
  sample: ["capture the current target into a new backup slot", "write AGENTS.md"]
backup_ref:
  description:
    - The backup slot captured before this run's change; pass it as I(backup_ref)
      with I(state=restored) to go back. Null when nothing was changed.
  returned: always
  type: str
  sample: slot-000000000003
restored_from:
  description: With I(state=restored), the slot that was (or in check mode would be) put back.
  returned: when state is restored
  type: str
  sample: slot-000000000002
setup_id:
  description: The setup the target holds after the run (or would hold, in check mode).
  returned: always
  type: str
  sample: baseline
target_identity_digest:
  description: The identity digest of what the provider owns in the target after the run.
  returned: always
  type: str
  sample: sha256:cf1b723a60027f8b432b658e22ac1623660522960054792081ba903041300b34
check_mode_note:
  description:
    - In check mode, when the run would change the target, a reminder for a
      person that nothing was applied and that the real run can still be
      refused, for example when the target changes before it applies.
  returned: in check mode, when the run would change something
  type: str
  sample: "Check mode only planned this change; nothing was applied. ..."
held:
  description: Whether this run held the captured slot.
  returned: always
  type: bool
  sample: false
reason:
  description: The provider's reason code when it refused.
  returned: failed
  type: str
  sample: unsupported_native_surface
detail:
  description: The provider's explanation when it refused.
  returned: failed
  type: str
  sample: "a backup captures content, and these owned paths are links rather than content: skills. ..."
"""

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.velk.setup.plugins.module_utils.velk_common import (
    BINARY_OPTION, HANDLED, effects_diff, fail, provider_for)
from ansible_collections.velk.setup.plugins.module_utils.velk_setup_client.bundle import (
    build_bundle, files_in_place)
from ansible_collections.velk.setup.plugins.module_utils.velk_setup_client.product import (
    EMPTY_IDENTITY)


def already_holds(status, bundle, target, scope):
    """The target holds the bundle as this provider left it. Under user_root
    the identity covers skills whole, other products' files with it, so the
    record (setup and version, clean) and the bundle's own files on disk
    decide instead of a predicted identity."""
    if scope == "user_root":
        return (status.holds(bundle.setup_id)
                and status.provider_state.setup_version == bundle.setup_version
                and files_in_place(bundle.files, target))
    return status.holds(bundle.setup_id, bundle.expected_identity)


def plan_present(module, provider, result):
    p = module.params
    target, scope = p["target"], p["scope"]
    status = provider.status(target, scope)
    if p["setup"]:
        bundle = provider.catalog_bundle(p["setup"], scope)
    else:
        bundle = build_bundle(p["bundle_dir"], scope, profile=provider.info().profile_for(scope),
                              setup_id=p["setup_id"])
    result["setup_id"] = bundle.setup_id
    result["target_identity_digest"] = status.target_identity_digest
    if already_holds(status, bundle, target, scope):
        return None
    recorded = status.provider_state
    operation = "replace" if recorded.present and recorded.setup_stable_id else "install"
    return provider.plan(target, operation, bundle=bundle, scope=scope)


def plan_absent(module, provider, result):
    p = module.params
    status = provider.status(p["target"], p["scope"])
    result["target_identity_digest"] = status.target_identity_digest
    if status.target_identity_digest == EMPTY_IDENTITY:
        return None
    if not (status.provider_state.present and status.provider_state.readable):
        # Files in the owned places that no record says the provider wrote
        # are someone's own; a fleet-wide "absent" must not take them.
        module.fail_json(
            msg=f"velk-setup-system has applied no setup at {p['target']}, and removing would "
                "take what is in the places it owns whole; nothing was changed",
            reason=None, detail=None, **result)
    return provider.plan(p["target"], "remove", scope=p["scope"])


def plan_restored(module, provider, result):
    p = module.params
    plan = provider.plan(p["target"], "restore", backup_ref=p["backup_ref"], scope=p["scope"])
    result["restored_from"] = plan.backup_ref
    result["target_identity_digest"] = plan.expected_target_digest
    if plan.restore_target_digest == plan.expected_target_digest:
        return None
    return plan


PLANNERS = {"present": plan_present, "absent": plan_absent, "restored": plan_restored}

CHECK_MODE_NOTE = (
    "Check mode only planned this change; nothing was applied. The real run plans again and "
    "applies that plan, and the provider can still refuse it then: if the target changes "
    "before the apply (stale), if another process is changing the target at that moment "
    "(provider_unavailable), or if an earlier change on it was interrupted and must be "
    "recovered first (recovery_required). A refusal changes nothing.")


def stopped_part_way(provider, plan, scope):
    """Whether a refused apply got past publishing its journal, so that the
    target is part way through this plan's change. An apply refused before
    that wrote nothing in the target."""
    try:
        journal = provider.status(plan.target, scope).journal
    except HANDLED:
        return False
    return journal is not None and journal.operation_id == plan.document.get("operation_id")


def main():
    module = AnsibleModule(
        argument_spec=dict(
            target=dict(type="path", required=True),
            setup=dict(type="str"),
            bundle_dir=dict(type="path"),
            setup_id=dict(type="str"),
            scope=dict(type="str", choices=["project", "user_root"]),
            state=dict(type="str", default="present", choices=["present", "absent", "restored"]),
            backup_ref=dict(type="str"),
            hold=dict(type="bool", default=False),
            hold_reason=dict(type="str"),
            binary=BINARY_OPTION,
        ),
        mutually_exclusive=[("setup", "bundle_dir")],
        required_if=[("state", "present", ("setup", "bundle_dir"), True)],
        supports_check_mode=True,
    )
    p = module.params
    result = dict(changed=False, operation=None, effects=[], backup_ref=None, held=False,
                  setup_id=None, target_identity_digest=None)
    try:
        provider = provider_for(module)
        plan = PLANNERS[p["state"]](module, provider, result)
        if plan is None:
            module.exit_json(**result)
        result.update(operation=plan.operation, plan_digest=plan.digest, effects=plan.effects)
        if module._diff:
            result["diff"] = effects_diff(
                f"{plan.operation} in {p['target']} (plan {plan.digest[:19]})", plan.effects)
        # Check mode stops here, after planning exactly what the real run plans.
        if module.check_mode:
            module.exit_json(**dict(result, changed=True, check_mode_note=CHECK_MODE_NOTE))
        try:
            applied = provider.apply(plan)
        except HANDLED as error:
            if stopped_part_way(provider, plan, p["scope"]):
                fail(module, error, **dict(result, changed=True), also=(
                    "the change stopped part way; velk-setup-system recover-operation "
                    f"--target {p['target']} --json puts the target back as it was"))
            raise
        result.update(changed=True, backup_ref=applied.backup_ref,
                      target_identity_digest=applied.target_identity_digest,
                      setup_id=applied.setup_id)
        if p["hold"] and applied.backup_ref:
            provider.hold(p["target"], applied.backup_ref, p["hold_reason"])
            result["held"] = True
    except HANDLED as error:
        fail(module, error, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
