"""What an EPICS prefix may be: checked where the endpoint is asked for,
without caproto, which only serving needs."""

# The characters of an EPICS record name, of which a prefix is the start.
NAME_CHARACTERS = frozenset("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_-+:[]<>;.{}")


def checked_prefix(prefix: str) -> str:
    """`prefix` if it can start an EPICS name, else ValueError."""
    wrong = sorted(set(prefix) - NAME_CHARACTERS)
    if not prefix or wrong:
        raise ValueError(
            f"the EPICS prefix {prefix!r} must be one or more of letters, digits and _-+:[]<>;.{{}}"
            + (f", not {''.join(wrong)!r}" if wrong else "")
        )
    return prefix
