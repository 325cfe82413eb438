"""Every line `watch` prints and every `act` reply, checked against protocol/*.schema.json.

    problem = protocol.event_problem(record)     # None, or what is wrong
    protocol.check_reply(stdout, action="click") # raises AssertionError showing the line

Counts what it checked and says so on standard error when the process ends.
"""
import atexit
import json
import os
import sys
import threading

import jsonschema

HERE = os.path.dirname(os.path.abspath(__file__))
SCHEMAS = os.path.join(os.environ.get("ZEPHRIN_ROOT", os.path.dirname(HERE)), "protocol")
Validator = jsonschema.Draft202012Validator


def load(name):
    with open(os.path.join(SCHEMAS, name), encoding="utf-8") as f:
        schema = json.load(f)
    Validator.check_schema(schema)
    return schema


def part(schema, pointer, **extra):
    """A validator for one definition of a schema document, e.g. "#/$defs/copy"."""
    keep = {k: schema[k] for k in ("$schema", "$id", "$defs") if k in schema}
    return Validator({**keep, **extra, "$ref": pointer})


EVENTS = load("events.schema.json")
COMMANDS = load("commands.schema.json")
REPLIES = load("act-replies.schema.json")

_event = Validator(EVENTS)
_command_line = part(EVENTS, "#/$defs/command_line")
_reply = Validator(REPLIES)
_commands = Validator(COMMANDS)


def _kind_validators():
    """The schema picks each kind's definition through a chain of if/then; evaluating the whole
    chain costs about 5 ms a line here, so lines go straight to their kind's definition (with
    the envelope's "t"), which is the same check. Unknown kinds go through the whole schema."""
    out = {}
    for branch in EVENTS["$defs"]["event"]["allOf"]:
        when = branch["if"]["properties"]["kind"]
        for kind in when.get("enum", [when.get("const")]):
            out[kind] = part(EVENTS, branch["then"]["$ref"], required=["kind", "t"])
    return out


_by_kind = _kind_validators()
ACTIONS = REPLIES["$defs"]["actions"]["$defs"]
_by_action = {a: part(REPLIES, f"#/$defs/actions/$defs/{a}") for a in ACTIONS}
checked = {"watch": 0, "act": 0}
_count_lock = threading.Lock()


def _count(what):
    with _count_lock:
        checked[what] += 1


def _problem(validator, record):
    error = jsonschema.exceptions.best_match(validator.iter_errors(record))
    if error is None:
        return None
    return f"{error.json_path}: {error.message}"


def event_problem(record):
    """What is wrong with one line of the event stream, or None."""
    _count("watch")
    kind = record.get("kind") if isinstance(record, dict) else None
    validator = _by_kind.get(kind, _event) if isinstance(kind, str) else _event
    return _problem(validator, record)


def command_line_problem(record):
    """What is wrong with the line of `watch --version` or `watch --probe`, or None."""
    _count("watch")
    return _problem(_command_line, record)


def command_problem(record):
    return _problem(_commands, record)


def reply_problem(record, action=None):
    """What is wrong with an act reply (for that action, when given), or None."""
    _count("act")
    return _problem(_by_action.get(action, _reply), record)


def check_line(text):
    """One line `watch` printed, parsed, after checking it (the line of `--probe` or `--version`
    too); raises AssertionError with the line shown."""
    line = text.decode(errors="replace") if isinstance(text, bytes) else text
    try:
        record = json.loads(line)
    except ValueError:
        raise AssertionError(f"watch printed a line that is not JSON: {line!r}") from None
    alone = isinstance(record, dict) and "t" not in record
    problem = command_line_problem(record) if alone else event_problem(record)
    if problem:
        raise AssertionError(f"watch line does not match the protocol ({problem}): {line!r}")
    return record


def check_reply(text, action=None):
    """The reply parsed, after checking it; raises AssertionError with the line shown."""
    line = text.decode(errors="replace") if isinstance(text, bytes) else text
    try:
        record = json.loads(line)
    except ValueError:
        raise AssertionError(f"act answered a line that is not JSON: {line!r}") from None
    problem = reply_problem(record, action)
    if problem:
        raise AssertionError(f"act reply does not match the protocol ({problem}): {line!r}")
    return record


@atexit.register
def _say():
    if checked["watch"] or checked["act"]:
        print(f"protocol: {checked['watch']} watch lines and {checked['act']} act replies "
              "checked against the schema", file=sys.stderr)
