"""A consumer of the velk-setup-system provider protocol, standard library only.

    from velk_setup_client import Provider, build_bundle

    provider = Provider("/usr/bin/velk-setup-system")
    bundle = build_bundle("my-setup/")            # checked, packed, digested
    plan = provider.plan("/home/me/.velk", "install", bundle=bundle)
    print(plan.effects)                            # what applying will do
    result = provider.apply(plan)                  # exactly that plan
    provider.plan("/home/me/.velk", "restore", backup_ref=result.backup_ref)
"""

from .bundle import Bundle, BundleFile, build_bundle, expected_identity, files_in_place, load_bundle
from .canonical import canonical_json, digest_bytes, digest_document, digest_records
from .errors import *  # noqa: F401,F403  (one exception type per refusal reason)
from .errors import REFUSALS, BundleSourceError, ProviderFailure, Refusal, VelkError, refusal
from .paths import check_bundle_path, quoted_form
from .product import CLIENT_VERSION as __version__
from .product import EMPTY_IDENTITY, MAIN_PROFILE, USER_ROOT_PROFILE, ProjectionProfile
from .provider import (SOFTWARE_OPERATIONS, TARGET_OPERATIONS, ApplyResult, Backup, Journal,
                       Plan, Provider, ProviderInfo, ProviderState, Recovery, Rollback,
                       SoftwareInventory, SoftwareResult, Status, Validation)
