"""The batch's JSON text is read in place: every valid batch gives what its
texts give one at a time, and every invalid one the same error as before."""

import json

import pytest

import vorpaline_core_py as core

PROFILE = json.dumps({"max_text_chars": None, "min_token_len": 1})

VALID = [
    '[]', ' [ ] ', '\t[\n]\r\n', '[""]', '["a"]', '[ "a" , "b" ]', '["getUserName"]',
    r'["line one\nline two\ttab"]', r'["quote \" backslash \\ slash \/"]', r'["\b\f\r"]',
    r'["\u0041\u00e9\u20ac"]', r'["\u00C9T\u00c9"]', r'["\ud83d\ude00 smile"]', r'["\u0000nul"]',
    '["straight é ж 变量名 😀"]', r'["a\\", "\\b"]', '["' + "x" * 40 + r'\n' + "y" * 40 + '"]',
    '["' + "plain words " * 200 + '"]', r'["\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n\n"]',
]

INVALID = [
    '', ' ', '[', ']', '["a"', '["a",]', '[,"a"]', '["a" "b"]', '["a"] x', '["a"]]', '{"a": 1}',
    '"a"', '[1]', '["a", 2]', '["a", null]', '["a", ["b"]]', '[true]', '["a\tb"]', '["a\nb"]',
    r'["\x41"]', r'["\u12G4"]', r'["\u12"]', r'["\ud800"]', r'["\udc00"]', r'["\ud800\u0041"]',
    r'["\ud800x"]', r'["a\"]', '["unterminated', r'["\'"]',
]


def error_of(call):
    try:
        call()
    except ValueError as error:
        return str(error)
    return None


@pytest.mark.parametrize("batch", VALID)
def test_a_valid_batch_gives_its_texts_replies(batch):
    texts = json.loads(batch)
    replies = [core.sparse_embed_single(text, PROFILE) for text in texts]
    assert core.sparse_embed_batch(batch, PROFILE) == '{"embeddings":[' + ",".join(replies) + "]}"


@pytest.mark.parametrize("batch", INVALID)
def test_an_invalid_batch_is_refused_with_its_reason(batch):
    message = error_of(lambda: core.sparse_embed_batch(batch, PROFILE))
    assert message is not None and message.startswith("batch ")
    # The same batch with a valid text before it fails for the same reason,
    # naming the element one further on.
    if batch.startswith('["') and "element" in message:
        shifted = error_of(lambda: core.sparse_embed_batch('["first", ' + batch[1:], PROFILE))
        number = int(message.split()[2])
        assert shifted == message.replace(f"element {number}", f"element {number + 1}", 1)
