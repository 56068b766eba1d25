"""python3 -m velk_setup_client: pack a bundle, plan, apply.

    bundle DIR OUT            pack DIR into the bundle file OUT; print its claim
    plan --target T --operation OP [--bundle FILE] ... --out PLAN
                              plan; print the digest and the effects; store the
                              plan artifact canonically in PLAN
    apply --target T --plan PLAN [--bundle FILE] ...
                              apply exactly the stored plan; print the result
"""

import argparse
import json
import sys

from .bundle import build_bundle, load_bundle
from .canonical import PLAN_TAG, digest_document
from .errors import ProviderFailure, Refusal, VelkError
from .provider import SOFTWARE_OPERATIONS, TARGET_OPERATIONS, Plan, Provider


def _parser():
    p = argparse.ArgumentParser(
        prog="python3 -m velk_setup_client",
        description="Drive velk-setup-system over its provider protocol: pack setup files "
                    "into a bundle, plan a change, apply exactly that plan.")
    p.add_argument("--binary", default="velk-setup-system",
                   help="the provider program (default: velk-setup-system on PATH)")
    sub = p.add_subparsers(dest="command", required=True, metavar="COMMAND")

    b = sub.add_parser("bundle", help="pack a directory of setup files into a bundle")
    b.add_argument("directory", metavar="DIR",
                   help="a tree mirroring the target, or setup.json with home/")
    b.add_argument("out", metavar="OUT", help="the bundle file to write")
    b.add_argument("--scope", choices=["project", "user_root"])
    b.add_argument("--setup-id")
    b.add_argument("--setup-version")

    pl = sub.add_parser("plan", help="plan an operation and store the plan")
    pl.add_argument("--target", required=True)
    pl.add_argument("--operation", required=True,
                    choices=list(TARGET_OPERATIONS + SOFTWARE_OPERATIONS))
    pl.add_argument("--bundle", help="a bundle file (install, replace, remove)")
    pl.add_argument("--backup-ref", help="the slot a restore returns to")
    pl.add_argument("--scope", choices=["project", "user_root"])
    pl.add_argument("--prefix", help="where the program lives (software operations)")
    pl.add_argument("--software-version")
    pl.add_argument("--out", required=True, help="where to store the plan artifact")

    ap = sub.add_parser("apply", help="apply a stored plan")
    ap.add_argument("--target", required=True)
    ap.add_argument("--plan", required=True, help="a plan artifact stored by `plan`")
    ap.add_argument("--plan-digest",
                    help="the digest you approved (default: the stored plan's own)")
    ap.add_argument("--bundle", help="the bundle file the plan was made with")
    ap.add_argument("--prefix")
    ap.add_argument("--software-artifact", action="append", default=[],
                    help="a downloaded artifact, once per planned artifact, in order")
    return p


def _print(doc):
    print(json.dumps(doc, indent=2, ensure_ascii=False))


def main(argv=None):
    args = _parser().parse_args(argv)
    provider = Provider(args.binary)
    try:
        if args.command == "bundle":
            bundle = build_bundle(args.directory, args.scope, setup_id=args.setup_id,
                                  setup_version=args.setup_version).write(args.out)
            _print(dict(bundle.claim(), bundle=bundle.path, setup_id=bundle.setup_id,
                        setup_version=bundle.setup_version, files=len(bundle.files)))
        elif args.command == "plan":
            bundle = load_bundle(args.bundle) if args.bundle else None
            plan = provider.plan(args.target, args.operation, bundle=bundle,
                                 backup_ref=args.backup_ref, scope=args.scope,
                                 prefix=args.prefix, software_version=args.software_version)
            plan.write(args.out)
            _print({"plan_digest": plan.digest, "plan": args.out, "effects": plan.effects,
                    "expires_at": plan.expires_at})
        else:
            with open(args.plan, "rb") as f:
                document = json.loads(f.read())
            digest = args.plan_digest or digest_document(PLAN_TAG, document)
            plan = Plan(target=args.target, operation=document.get("operation", ""),
                        digest=digest, effects=document.get("effects", []),
                        expected_target_digest=document.get("expected_target_digest"),
                        expires_at=document.get("expires_at"), document=document,
                        bundle=load_bundle(args.bundle) if args.bundle else None,
                        prefix=args.prefix)
            result = provider.apply(plan, software_artifacts=args.software_artifact)
            _print(result.document)
    except Refusal as e:
        print(f"refused ({e.reason}): {e.detail}", file=sys.stderr)
        return 2
    except (ProviderFailure, VelkError, OSError, ValueError) as e:
        print(f"velk_setup_client: {e}", file=sys.stderr)
        return 1
    return 0
