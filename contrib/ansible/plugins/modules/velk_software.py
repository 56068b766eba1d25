#!/usr/bin/python
# -*- coding: utf-8 -*-
# MIT License (see galaxy.yml)

from __future__ import annotations

DOCUMENTATION = r"""
---
module: velk_software
short_description: Install, update, remove or roll back the Velk Build program under a prefix
version_added: "0.1.0"
description:
  - Installs a pinned version of the product's program into a program
    directory (I(prefix)) through C(velk-setup-system), which names the exact
    bytes it accepts; the module fetches them between planning and applying.
  - Each version keeps its own tree under the prefix and the command
    C(PREFIX/bin/velk) points at one of them. Asking for a version that is
    already installed only moves the command (a roll back), with no download.
  - I(state=absent) removes the provider's current pinned version; other
    installed versions stay.
  - In check mode the operation is planned exactly as a real run plans it,
    and its effects are reported; nothing is fetched or changed.
options:
  prefix:
    description: The program directory, an absolute path on the managed host.
    type: path
    required: true
  target:
    description:
      - The configuration directory the product will be pointed at. The
        provider reads it while planning; it is not changed.
    type: path
    required: true
  version:
    description:
      - The pinned version the command should run. Omitted, the provider's
        current pinned version.
    type: str
  state:
    description:
      - C(present) makes the command run I(version), installing it when it is
        not under the prefix yet; C(absent) removes the current pinned version.
    type: str
    choices: [present, absent]
    default: present
  artifact_dir:
    description:
      - A directory on the managed host that holds downloaded artifacts under
        their published file names, the last part of the address the plan
        names (for example C(velk-1.0.18-linux-x86_64)). An artifact not found
        there is downloaded from that address, so hosts without a network
        need it.
    type: path
  binary:
    description:
      - The C(velk-setup-system) program on the managed host, as a path or a
        name looked up on the search path.
    type: str
    default: velk-setup-system
notes:
  - The provider checks the size and digest of every artifact before it places
    anything, whatever its source.
  - A failed task says C(changed) true only when the program directory was
    changed before the failure; a refusal changes nothing.
seealso:
  - module: velk.setup.velk_setup
author:
  - velk-setup-system developers
"""

EXAMPLES = r"""
- name: Install the current pinned version from a local mirror
  velk.setup.velk_software:
    prefix: /opt/velk
    target: /home/dev/.velk
    artifact_dir: /srv/mirror/velk

- name: Roll the command back to the previous version, still on disk
  velk.setup.velk_software:
    prefix: /opt/velk
    target: /home/dev/.velk
    version: 1.0.13
"""

RETURN = r"""
operation:
  description: C(software_install), C(software_update), C(software_remove), C(rollback), or null when nothing was to be done.
  returned: always
  type: str
  sample: software_install
version:
  description: The version the command runs after the run (or would run, in check mode); null when none.
  returned: always
  type: str
  sample: 1.0.18
previous_version:
  description: The version the command ran before the run; null when none.
  returned: always
  type: str
  sample: 1.0.13
installed:
  description: The versions under the prefix after the run.
  returned: always
  type: list
  elements: str
  sample: ["1.0.13", "1.0.18"]
effects:
  description: What the plan does, in the provider's words.
  returned: always
  type: list
  elements: str
plan_digest:
  description: The digest of the plan applied (or that check mode would apply).
  returned: when a plan was made
  type: str
check_mode_note:
  description:
    - In check mode, when the run would change something, a reminder for a
      person that nothing was fetched or changed and that the real run can
      still fail, for example when the artifact cannot be found or downloaded.
  returned: in check mode, when the run would change something
  type: str
  sample: "Check mode only planned this; nothing was downloaded or changed. ..."
recovered:
  description: Notes of interrupted earlier operations on the prefix that the provider finished first.
  returned: when a plan was applied
  type: list
  elements: str
reason:
  description: The provider's reason code when it refused.
  returned: failed
  type: str
detail:
  description: The provider's explanation when it refused.
  returned: failed
  type: str
"""

import os
import shutil
from urllib.parse import urlparse

from ansible.module_utils.basic import AnsibleModule
from ansible.module_utils.urls import fetch_url
from ansible_collections.velk.setup.plugins.module_utils.velk_common import (
    BINARY_OPTION, HANDLED, effects_diff, fail, provider_for)


CHECK_MODE_NOTE = (
    "Check mode only planned this; nothing was downloaded or changed. The real run can still "
    "fail: if the pinned artifact is neither in artifact_dir nor downloadable from the host, "
    "if its bytes are not the ones the plan names (digest_mismatch), or if another process is "
    "changing the program directory at that moment (provider_unavailable).")
ROLLBACK_NOTE = (
    "Check mode only looked; the command was not moved. The real run can still fail if {version} "
    "is taken out of the program directory first, or if another process is changing the "
    "program directory at that moment.")


def fetch(module, artifact, result):
    """The downloaded artifact: from artifact_dir, or fetched from its address."""
    url = artifact["url"]
    name = os.path.basename(urlparse(url).path)
    directory = module.params["artifact_dir"]
    if directory:
        local = os.path.join(directory, name)
        if os.path.isfile(local):
            return local
    response, info = fetch_url(module, url)
    if info["status"] != 200:
        where = f"{name} is not in artifact_dir {directory} either" if directory \
            else "no artifact_dir was given"
        module.fail_json(
            msg=f"cannot download {url}: {info.get('msg')}; {where}. Put the pinned artifact, "
                f"the file {name} ({artifact['byte_length']} bytes, {artifact['sha256']}), "
                "in a directory on the host and name that directory with the artifact_dir "
                "option. Nothing has been changed.",
            reason=None, detail=info.get("msg"), **result)
    path = os.path.join(module.tmpdir, name)
    with open(path, "wb") as out:
        shutil.copyfileobj(response, out)
    return path


def moved(provider, before, result):
    """Whether the program directory is no longer as ``before`` found it; the
    result then reports it as it is now."""
    try:
        now = provider.software(before.prefix)
    except HANDLED:
        return False
    result.update(version=now.exposed, installed=now.installed)
    return (now.installed, now.exposed) != (before.installed, before.exposed)


def main():
    module = AnsibleModule(
        argument_spec=dict(
            prefix=dict(type="path", required=True),
            target=dict(type="path", required=True),
            version=dict(type="str"),
            state=dict(type="str", default="present", choices=["present", "absent"]),
            artifact_dir=dict(type="path"),
            binary=BINARY_OPTION,
        ),
        supports_check_mode=True,
    )
    p = module.params
    prefix, target, wanted = p["prefix"], p["target"], p["version"]
    result = dict(changed=False, operation=None, effects=[])
    try:
        provider = provider_for(module)
        before = provider.software(prefix)
        result.update(previous_version=before.exposed, version=before.exposed,
                      installed=before.installed)
        plan = None
        if p["state"] == "absent":
            plan = provider.software_plan(target, "software_remove", prefix)
            planned = plan.document["platform"]["version"]
            if wanted and wanted != planned:
                module.fail_json(msg=f"only {planned}, the current pinned version, can be "
                                     f"removed; {wanted} stays under {prefix}",
                                 reason=None, detail=None, **result)
            if planned not in before.installed:
                module.exit_json(**result)
        elif wanted is None or wanted not in before.installed:
            operation = "software_update" if before.installed else "software_install"
            plan = provider.software_plan(target, operation, prefix, wanted)
            wanted = plan.document["platform"]["version"]
        if wanted is not None and wanted == before.exposed and p["state"] == "present":
            module.exit_json(**result)

        if p["state"] == "present" and wanted in before.installed:
            command = os.path.join(prefix, "bin", "velk")
            result.update(operation="rollback",
                          effects=[f"point {command} at {wanted}, which is already installed"])
        else:
            result.update(operation=plan.operation, plan_digest=plan.digest,
                          effects=plan.effects)
        if module._diff:
            result["diff"] = effects_diff(f"{result['operation']} under {prefix}",
                                          result["effects"])
        # Check mode stops here, after planning exactly what the real run plans.
        if module.check_mode:
            would = wanted if p["state"] == "present" else before.exposed
            note = (ROLLBACK_NOTE.format(version=wanted) if result["operation"] == "rollback"
                    else CHECK_MODE_NOTE)
            module.exit_json(**dict(result, changed=True, version=would, check_mode_note=note))

        try:
            if result["operation"] == "rollback":
                result["changed"] = provider.rollback(prefix, wanted).changed
            else:
                artifacts = [fetch(module, a, result) for a in plan.software_artifacts]
                applied = provider.apply(plan, software_artifacts=artifacts)
                result.update(changed=True, recovered=applied.recovered)
        except HANDLED:
            # A refusal placed nothing; say changed only if the prefix moved all the same.
            result["changed"] = moved(provider, before, result)
            raise
        after = provider.software(prefix)
        result.update(version=after.exposed, installed=after.installed)
    except HANDLED as error:
        fail(module, error, **result)
    module.exit_json(**result)


if __name__ == "__main__":
    main()
