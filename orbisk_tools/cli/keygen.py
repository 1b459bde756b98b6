"""orbisk-fpga keygen: make a key pair for signing images, in the format of minisign -G."""

import getpass
import os
import sys

from orbisk_tools.formats import files
from orbisk_tools.cli.arguments import Failure
from orbisk_tools.cli.images import PASSWORD_VARIABLE

NAME = "keygen"
HELP = ("Make a key pair for signing images, in the format of minisign -G: the secret key (readable by its owner "
        "only; keep it safe) and the public key to give to sites (update --trust-key). Neither file is ever "
        f"overwritten. The password that protects the secret key is asked twice at the terminal, or taken from "
        f"${PASSWORD_VARIABLE}; --no-password leaves the key unprotected.")
EXAMPLES = ("examples:\n  orbisk-fpga keygen --secret-key vendor.key --public-key vendor.pub\n"
            "  orbisk-fpga keygen --no-password --secret-key test.key --public-key test.pub")


def add_options(parser):
    parser.add_argument("--secret-key", required=True, metavar="FILE", help="the secret key file to make")
    parser.add_argument("--public-key", required=True, metavar="FILE", help="the public key file to make")
    parser.add_argument("--no-password", action="store_true", help="do not protect the secret key with a password")


def run(args):
    from orbisk_tools.formats import signatures

    password = None if args.no_password else new_password()
    try:
        key = signatures.generate_keypair(args.secret_key, args.public_key, password)
    except signatures.KeyFileError as error:
        raise Failure(str(error)) from None
    except OSError as error:
        raise Failure(files.problem(error)) from None
    args.out.line(f"Made key {key.id_text}: secret key {args.secret_key}, public key {args.public_key}")
    args.out.line(f"The public key, for update --trust-key: {key.base64}")


def new_password():
    if PASSWORD_VARIABLE in os.environ:
        password = os.environ[PASSWORD_VARIABLE]
    elif sys.stdin and sys.stdin.isatty():
        password = getpass.getpass("Password for the new secret key: ")
        if getpass.getpass("The same password again: ") != password:
            raise Failure("the two passwords differ; run keygen again")
    else:
        raise Failure(f"a new secret key needs a password: type it at a terminal, set {PASSWORD_VARIABLE}, "
                      "or give --no-password")
    if not password:
        raise Failure("the password is empty; give one, or --no-password for a key without a password")
    return password
