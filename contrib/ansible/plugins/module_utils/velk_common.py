# -*- coding: utf-8 -*-
"""What the velk.setup modules share: the provider they run, the option that
names it, and how a refusal becomes a failed task."""

from __future__ import annotations

from ansible_collections.velk.setup.plugins.module_utils.velk_setup_client.errors import (
    BundleSourceError, ProviderFailure, Refusal)
from ansible_collections.velk.setup.plugins.module_utils.velk_setup_client.provider import (
    Provider)

BINARY_OPTION = dict(type="str", default="velk-setup-system")

# Errors a module turns into a failed task instead of a traceback.
HANDLED = (Refusal, ProviderFailure, BundleSourceError)


def provider_for(module):
    binary = module.params["binary"]
    if "/" not in binary:
        binary = module.get_bin_path(binary, required=True)
    return Provider(binary)


def fail(module, error, **result):
    """Fail the task with the refusal's reason code and the provider's words."""
    if isinstance(error, Refusal):
        module.fail_json(msg=f"{error.reason}: {error.detail}", reason=error.reason,
                         detail=error.detail, **result)
    module.fail_json(msg=str(error), reason=None, detail=str(error), **result)


def effects_diff(title, effects):
    """The effects of a plan, shown as the task's diff."""
    lines = [title] + [f"  - {effect}" for effect in effects]
    return {"prepared": "\n".join(lines) + "\n"}
