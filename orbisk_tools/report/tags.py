"""A site's devices by their tags, the words an address list gives each device ("192.168.1.20
rack1 north"): shown beside each device, and `--group-by tag`, which shows a table and its counts
for each tag, a device under each of its tags (under those that --tag chose, when it chose some),
then the counts of the whole site."""

NO_TAG = "(no tag)"


def add_group_option(parser):
    parser.add_argument("--group-by", choices=["tag"], metavar="tag",
                        help="show the devices, and their counts, tag by tag (a device under each of its tags)")


def tags_of(args, address):
    """The tags of the device at `address`, as its list gave them (none for a device named alone)."""
    return getattr(args, "device_tags", {}).get(address, ())


def tag_text(args, address):
    return " ".join(tags_of(args, address))


def any_tags(args):
    return any(getattr(args, "device_tags", {}).values())


def by_tag(args, items):
    """[(tag, its items)] of `items` (each with its .address), the tags in the order the site first names them (those that
    --tag chose only, if it chose some), the items in their order; the untagged last."""
    groups = {}
    for item in items:
        tags = [tag for tag in tags_of(args, item.address) if not args.tags or tag in args.tags] or [NO_TAG]
        for tag in tags:
            groups.setdefault(tag, []).append(item)
    untagged = groups.pop(NO_TAG, None)
    return list(groups.items()) + ([(NO_TAG, untagged)] if untagged else [])


def grouped(args, items, show):
    """show(title, items) once for the whole of `items` (title None), or, with --group-by tag, once
    for each tag (title: "tag rack1", or NO_TAG); whether it showed them tag by tag, when the
    caller then counts the whole site."""
    if getattr(args, "group_by", None) != "tag":
        show(None, items)
        return False
    for tag, members in by_tag(args, items):
        show(tag if tag == NO_TAG else f"tag {tag}", members)
    return True
