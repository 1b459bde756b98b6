"""orbisk-fpga sign: sign an image with a vendor's secret key, as IMAGE.minisig beside it."""

from orbisk_tools.formats import files
from orbisk_tools.cli.arguments import Failure
from orbisk_tools.cli.images import PASSWORD_VARIABLE, read_secret_key

NAME = "sign"
HELP = ("Sign an image file (.tbin, .bin or any other) with a secret key made by orbisk-fpga keygen or minisign -G: "
        "writes the detached signature IMAGE.minisig, whose trusted comment names the file, its SHA-256 and the "
        "time. Sites that trust the key's public key (update --trust-key) then install only images it signed. "
        f"A key protected by a password asks for it at the terminal, or takes it from ${PASSWORD_VARIABLE}.")
EXAMPLES = ("examples:\n  orbisk-fpga sign --key vendor.key fpga.tbin\n"
            f"  {PASSWORD_VARIABLE}=... orbisk-fpga sign --key vendor.key fpga.tbin   # in a script")


def add_options(parser):
    parser.add_argument("--key", required=True, metavar="SECRET_KEY", help="the secret key file")
    parser.add_argument("image", metavar="IMAGE", help="the image file to sign")


def run(args):
    key = read_secret_key(args.key)
    signed = sign_image(args, args.image, key, [args.key])
    args.out.line(f"Signed {args.image} with key {key.public_key.id_text}: {signed}")


def sign_image(args, image, key, inputs):
    """Writes the signature of `image` beside it, never over one of `inputs`; its path."""
    from orbisk_tools.formats import signatures

    signature = signatures.signature_path_for(image)
    named = files.input_named_by(signature, [image, *inputs])
    if named is not None:
        args.parser.error(f"the signature {signature} would replace {named}, an input of this run; "
                          "move that file first")
    try:
        return signatures.sign_file(image, key)
    except OSError as error:
        raise Failure(files.problem(error)) from None
