"""The detectors of the local detection service.

Small, deterministic stand-ins for the real models: word lists for the content and
safety detectors, patterns for personal data, word overlap for the retrieval detectors
and a schema check for tool calls. Every function takes already validated arguments
and returns a list of detections (plain dicts, ready for JSON); scores lie in [0, 1]
and are rounded to four places.
"""

from __future__ import annotations

import json
import re
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

# --------------------------------------------------------------------------
# Content detectors: spans of the input text
# --------------------------------------------------------------------------

# Hateful, abusive or profane terms and how strongly each one signals it.
HAP_TERMS: dict[str, float] = {
    "kill yourself": 0.99,
    "idiot": 0.92,
    "moron": 0.92,
    "imbecile": 0.92,
    "scum": 0.9,
    "worthless": 0.86,
    "stupid": 0.82,
    "shut up": 0.78,
    "loser": 0.76,
    "pathetic": 0.75,
    "dumb": 0.72,
    "disgusting": 0.7,
    "crap": 0.66,
    "damn": 0.62,
}

# Terms per risk of the safety detector. A risk without a list of its own uses "harm".
_VIOLENCE = ("kill", "murder", "shoot", "stab", "bomb", "attack", "assault", "torture")
_PROFANITY = ("damn", "crap", "bloody", "bastard", "bullshit")
_UNETHICAL = ("cheat", "steal", "bribe", "forge", "plagiarize", "embezzle", "launder", "blackmail")
_SOCIAL_BIAS = (
    "all women are", "all men are", "those people", "people like them", "inferior race",
    "women can't", "men can't", "immigrants are",
)
_JAILBREAK = (
    "ignore previous instructions", "ignore all previous instructions", "ignore your instructions",
    "disregard your rules", "developer mode", "do anything now", "pretend you have no rules",
    "without any restrictions",
)
RISK_TERMS: dict[str, tuple[str, ...]] = {
    "violence": _VIOLENCE,
    "profanity": _PROFANITY,
    "unethical_behavior": _UNETHICAL,
    "social_bias": _SOCIAL_BIAS,
    "jailbreak": _JAILBREAK,
    "harm": _VIOLENCE + _UNETHICAL + ("hurt", "poison", "weapon", "suicide", "self-harm", "idiot", "hate you"),
}
DEFAULT_RISK = "harm"

_FALLBACK_RISKS = ("harm", "social_bias", "jailbreak", "violence", "profanity", "unethical_behavior")


def risk_names() -> list[str]:
    """The risks the safety detector serves: the SDK's list when it is installed."""
    try:
        from tessaly.entities.enums import StonewatchRisks
    except ImportError:
        return list(_FALLBACK_RISKS)
    return [str(name) for name in StonewatchRisks.values()]


def _term_pattern(term: str, *, plural: bool = False) -> str:
    # Whole words or phrases; inner spaces match any run of white space.
    body = r"\s+".join(re.escape(part) for part in term.split())
    suffix = r"(?:s|es)?" if plural else ""
    return r"(?<!\w)" + body + suffix + r"(?!\w)"


def _span(match: re.Match, detection_type: str, detection: str, score: float) -> dict:
    return {
        "start": match.start(),
        "end": match.end(),
        "text": match.group(0),
        "detection_type": detection_type,
        "detection": detection,
        "score": round(score, 4),
    }


def _by_position(detections: list[dict]) -> list[dict]:
    return sorted(detections, key=lambda d: (d["start"], d["end"]))


def detect_hap(text: str, threshold: float = 0.0) -> list[dict]:
    """One detection per hateful, abusive or profane term."""
    found = []
    for term, score in HAP_TERMS.items():
        if score < threshold:
            continue
        for match in re.finditer(_term_pattern(term, plural=True), text, re.IGNORECASE):
            found.append(_span(match, "hap", "has_HAP", score))
    return _by_position(found)


_EMAIL = re.compile(r"(?<![\w.%+-])[A-Za-z0-9._%+-]+@[A-Za-z0-9-]+(?:\.[A-Za-z0-9-]+)*\.[A-Za-z]{2,}(?![\w-])")
_CARD_CANDIDATE = re.compile(r"(?<![\d-])\d(?:[ -]?\d){12,18}(?![\d-])")
_PHONE = re.compile(
    r"(?<![\w+])(?:\+1[ .-]?)?(?:\(\d{3}\)\s?|\d{3}[ .-]?)\d{3}[ .-]?\d{4}(?!\d)"
    r"|(?<![\w+])\+\d{1,3}(?:[ .-]?\d{2,4}){2,4}(?!\d)"
)
_SSN = re.compile(r"(?<![\d-])(\d{3})-(\d{2})-(\d{4})(?![\d-])")

PII_ENTITIES = ("EmailAddress", "CreditCardNumber", "PhoneNumber", "SocialSecurityNumber")


def luhn_valid(digits: str) -> bool:
    """The Luhn checksum of card numbers."""
    total = 0
    for position, char in enumerate(reversed(digits)):
        value = int(char)
        if position % 2 == 1:
            value *= 2
            if value > 9:
                value -= 9
        total += value
    return total % 10 == 0


def _overlaps(match: re.Match, spans: Iterable[tuple[int, int]]) -> bool:
    return any(match.start() < end and start < match.end() for start, end in spans)


def detect_pii(text: str, entities: Sequence[str] | None = None) -> list[dict]:
    """E-mail addresses, card numbers (Luhn-checked), phone numbers and social security numbers."""
    wanted = set(entities) if entities else set(PII_ENTITIES)
    found: list[dict] = []
    taken: list[tuple[int, int]] = []  # digit runs already claimed, valid card or not

    for match in _CARD_CANDIDATE.finditer(text):
        digits = re.sub(r"\D", "", match.group(0))
        if 13 <= len(digits) <= 19:
            taken.append(match.span())
            if luhn_valid(digits) and "CreditCardNumber" in wanted:
                found.append(_span(match, "pii", "CreditCardNumber", 0.99))
    for match in _SSN.finditer(text):
        area, group, serial = match.groups()
        if _overlaps(match, taken) or area in ("000", "666") or area[0] == "9" or group == "00" or serial == "0000":
            continue
        taken.append(match.span())
        if "SocialSecurityNumber" in wanted:
            found.append(_span(match, "pii", "SocialSecurityNumber", 0.9))
    for match in _PHONE.finditer(text):
        if not _overlaps(match, taken) and "PhoneNumber" in wanted:
            found.append(_span(match, "pii", "PhoneNumber", 0.85))
    if "EmailAddress" in wanted:
        found.extend(_span(m, "pii", "EmailAddress", 0.97) for m in _EMAIL.finditer(text))
    return _by_position(found)


def detect_keywords(text: str, keywords: Sequence[str], case_sensitive: bool = False) -> list[dict]:
    """Every occurrence of a keyword, as a whole word or phrase."""
    flags = 0 if case_sensitive else re.IGNORECASE
    found = []
    for keyword in keywords:
        for match in re.finditer(_term_pattern(keyword), text, flags):
            found.append(_span(match, "keyword", keyword, 1.0))
    return _by_position(found)


def detect_regex(text: str, patterns: Sequence[re.Pattern]) -> list[dict]:
    """Every non-empty match of each pattern."""
    found = []
    for pattern in patterns:
        for match in pattern.finditer(text):
            if match.end() > match.start():
                found.append(_span(match, "regex", pattern.pattern, 1.0))
    return _by_position(found)


def detect_risk(text: str, risk: str, threshold: float = 0.0) -> list[dict]:
    """One detection for the whole text when it shows the risk; more hits, higher score."""
    terms = RISK_TERMS.get(risk, RISK_TERMS[DEFAULT_RISK])
    hits = sum(
        len(re.findall(_term_pattern(term, plural=" " not in term), text, re.IGNORECASE)) for term in terms
    )
    if not hits:
        return []
    score = round(min(0.99, 0.6 + 0.15 * (hits - 1)), 4)
    if score < threshold:
        return []
    return [{
        "start": 0,
        "end": len(text),
        "text": text,
        "detection_type": "risk",
        "detection": risk,
        "score": score,
    }]


# --------------------------------------------------------------------------
# Retrieval detectors: word overlap
# --------------------------------------------------------------------------

STOP_WORDS = frozenset(
    """a an the and or but if then than so of to in on at by for with from into onto about as
    is are was were be been being am do does did done have has had having it its this that these
    those there here i me my we our you your he him his she her they them their what which who
    whom whose when where why how not no yes can could should would will shall may might must
    also just very too any all some each other such only own same""".split()
)


def _stem(word: str) -> str:
    if len(word) > 4 and word.endswith("ies"):
        return word[:-3] + "y"
    if len(word) > 4 and word.endswith(("ches", "shes", "sses", "xes", "zes")):
        return word[:-2]
    if len(word) > 3 and word.endswith("s") and not word.endswith(("ss", "us", "is")):
        return word[:-1]
    return word


def content_words(text: str) -> set[str]:
    """Lower-cased, lightly stemmed words of a text, without stop words."""
    return {_stem(w) for w in re.findall(r"[^\W_]+", text.lower()) if w not in STOP_WORDS}


def _coverage(wanted: set[str], available: set[str]) -> float:
    return len(wanted & available) / len(wanted) if wanted else 0.0


def answer_relevance(prompt: str, generated_text: str) -> list[dict]:
    """How much of the prompt's subject the answer takes up."""
    score = round(_coverage(content_words(prompt), content_words(generated_text)), 4)
    return [{
        "detection_type": "answer_relevance",
        "detection": "relevant" if score >= 0.5 else "not_relevant",
        "score": score,
    }]


def context_relevance(text: str, contexts: Sequence[str]) -> list[dict]:
    """One detection per context: how much of the input the context covers."""
    wanted = content_words(text)
    found = []
    for index, context in enumerate(contexts):
        score = round(_coverage(wanted, content_words(context)), 4)
        found.append({
            "detection_type": "context_relevance",
            "detection": "relevant" if score >= 0.5 else "not_relevant",
            "score": score,
            "evidence": [{"name": "context", "index": index, "value": context, "score": score}],
        })
    return found


_SENTENCE_END = re.compile(r"(?<=[.!?])\s+|\n+")


def sentences(text: str) -> list[str]:
    return [s.strip() for s in _SENTENCE_END.split(text) if s.strip()]


def faithfulness(generated_text: str, contexts: Sequence[str]) -> list[dict]:
    """How well the contexts support the sentences of the generated text.

    The score is the mean, over the sentences, of the share of each sentence's words
    found in the contexts. The evidence lists the sentences, least supported first,
    each with the context that supports it best.
    """
    context_words = [content_words(c) for c in contexts]
    everything = set().union(*context_words) if context_words else set()
    evidence = []
    for position, sentence in enumerate(sentences(generated_text)):
        words = content_words(sentence)
        if not words:
            continue
        support = round(_coverage(words, everything), 4)
        best = max(range(len(contexts)), key=lambda i: len(words & context_words[i]), default=None)
        evidence.append({
            "name": "sentence",
            "value": sentence,
            "score": support,
            "position": position,
            "context_index": best,
            "context": contexts[best] if best is not None else None,
        })
    if not evidence:
        return []
    score = round(sum(e["score"] for e in evidence) / len(evidence), 4)
    evidence.sort(key=lambda e: (e["score"], e["position"]))
    return [{
        "detection_type": "faithfulness",
        "detection": "faithful" if score >= 0.5 else "unfaithful",
        "score": score,
        "evidence": evidence,
    }]


def topic_relevance(text: str, system_prompt: str) -> list[dict]:
    """How far the input strays from the topic that the system prompt sets (1: off topic)."""
    words = content_words(text)
    if not words:
        return []
    off_topic = round(1.0 - _coverage(words, content_words(system_prompt)), 4)
    return [{
        "detection_type": "topic_relevance",
        "detection": "off_topic" if off_topic >= 0.5 else "on_topic",
        "score": off_topic,
    }]


# --------------------------------------------------------------------------
# Tool calls
# --------------------------------------------------------------------------

_JSON_TYPES: dict[str, tuple[type, ...]] = {
    "string": (str,),
    "integer": (int,),
    "number": (int, float),
    "boolean": (bool,),
    "array": (list,),
    "object": (dict,),
    "null": (type(None),),
}


def _has_type(value: Any, type_name: str) -> bool:
    kinds = _JSON_TYPES.get(type_name)
    if kinds is None:
        return True  # a type this check does not know: accept
    if isinstance(value, bool) and type_name in ("integer", "number"):
        return False
    if type_name == "integer" and isinstance(value, float):
        return value.is_integer()
    return isinstance(value, kinds)


def tool_definition(tool: Mapping) -> tuple[str, Mapping]:
    """(name, parameters schema) of a catalogue entry, OpenAI style or flat."""
    function = tool.get("function") if isinstance(tool.get("function"), Mapping) else tool
    parameters = function.get("parameters")
    return function.get("name"), parameters if isinstance(parameters, Mapping) else {}


_NOT_JSON = object()


def _call_finding(index: int, name: Any, detection: str, score: float, message: str) -> dict:
    return {
        "detection_type": "tool_call_accuracy",
        "detection": detection,
        "score": score,
        "tool_call_index": index,
        "function_name": name,
        "message": message,
    }


def check_tool_calls(tool_calls: Sequence[Mapping], catalogue: Mapping[str, Mapping]) -> list[dict]:
    """Findings for calls that do not fit the catalogue (name -> parameters schema).

    At most one finding per call, the most serious one: unknown function (0.95),
    arguments that are not an object or are missing (0.9), a missing required
    argument (0.9), an argument the function does not take (0.7), an argument of
    the wrong type or outside its enumeration (0.6).
    """
    findings = []
    for index, call in enumerate(tool_calls):
        function = call.get("function")
        name = function.get("name") if isinstance(function, Mapping) else None
        if not isinstance(name, str) or name not in catalogue:
            findings.append(_call_finding(index, name, "function_not_found", 0.95,
                                          f"The function {name!r} is not in the tool catalogue."))
            continue
        arguments = function.get("arguments")
        if arguments is None:
            arguments = {}
        elif isinstance(arguments, str):
            try:
                arguments = json.loads(arguments) if arguments.strip() else {}
            except ValueError:
                arguments = _NOT_JSON
        if not isinstance(arguments, Mapping):
            findings.append(_call_finding(index, name, "invalid_arguments", 0.9,
                                          "The arguments are not a JSON object."))
            continue
        schema = catalogue[name]
        properties = schema.get("properties") if isinstance(schema.get("properties"), Mapping) else {}
        required = [r for r in schema.get("required", []) or [] if isinstance(r, str)]
        missing = [r for r in required if r not in arguments]
        if missing:
            findings.append(_call_finding(index, name, "missing_required_argument", 0.9,
                                          f"Required arguments missing: {', '.join(missing)}."))
            continue
        if properties and schema.get("additionalProperties") is not True:
            unexpected = [a for a in arguments if a not in properties]
            if unexpected:
                findings.append(_call_finding(index, name, "unexpected_argument", 0.7,
                                              f"Arguments the function does not take: {', '.join(unexpected)}."))
                continue
        wrong = []
        for argument, value in arguments.items():
            argument_schema = properties.get(argument)
            if not isinstance(argument_schema, Mapping):
                continue
            types = argument_schema.get("type")
            types = [types] if isinstance(types, str) else types if isinstance(types, list) else []
            if types and not any(_has_type(value, t) for t in types):
                wrong.append(argument)
            elif isinstance(argument_schema.get("enum"), list) and value not in argument_schema["enum"]:
                wrong.append(argument)
        if wrong:
            findings.append(_call_finding(index, name, "invalid_argument_value", 0.6,
                                          f"Arguments of the wrong type or value: {', '.join(wrong)}."))
    return findings
