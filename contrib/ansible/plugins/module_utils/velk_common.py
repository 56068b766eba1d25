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


def fail(module, error, also=None, **result):
    """Fail the task with the refusal's reason code and the provider's words,
    and the sentence ``also`` after them in ``msg``.

    The task says changed only when the caller says so: a refusal, and any
    failure before the provider reported a change, changed nothing."""
    result.setdefault("changed", False)
    reason = error.reason if isinstance(error, Refusal) else None
    detail = error.detail if isinstance(error, Refusal) else str(error)
    msg = f"{reason}: {detail}" if reason else detail
    module.fail_json(msg=f"{msg}; {also}" if also else msg, reason=reason, detail=detail,
                     **result)


def effects_diff(title, effects):
    """The effects of a plan, shown as the task's diff."""
    lines = [title] + [f"  - {effect}" for effect in effects]
    return {"prepared": "\n".join(lines) + "\n"}
