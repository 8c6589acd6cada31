"""``vorpaline demo``: the heaviest tokens of a few built-in samples."""

import argparse

from vorpaline import __version__
from vorpaline.cli.common import positive_int
from vorpaline.cli.embed import print_top, profile_json, service

SAMPLES = (
    ("Python", (
        "def load_user_profile(user_id: int) -> UserProfile:\n"
        "    cached = profile_cache.get(user_id)\n"
        "    if cached is None:\n"
        "        cached = fetch_profile_from_db(user_id)\n"
        "    return cached\n"
    )),
    ("C++", (
        "template <typename T>\n"
        "std::optional<T> RingBuffer<T>::tryPop() {\n"
        "    if (readIndex_ == writeIndex_) return std::nullopt;\n"
        "    T value = std::move(slots_[readIndex_]);\n"
        "    readIndex_ = (readIndex_ + 1) % slots_.size();\n"
        "    return value;\n"
        "}\n"
    )),
    ("prose", (
        "Sparse retrieval scores a document by the query terms it shares, "
        "weighting rare terms above common ones, so an exact identifier or an "
        "unusual word finds its document even where dense embeddings blur it."
    )),
    ("Russian", "Быстрая бурая лиса перепрыгивает через ленивую собаку, а собака спит дальше."),
)


def add_to(commands) -> None:
    demo = commands.add_parser("demo", help="embed built-in samples and print their heaviest tokens")
    demo.add_argument("--top", type=positive_int, default=8, metavar="N", help="tokens per sample (default 8)")
    demo.set_defaults(run=run)


def run(args: argparse.Namespace) -> None:
    service()  # fail before printing anything
    print(f"vorpaline {__version__} demo: the {args.top} heaviest tokens of each sample")
    print(f"profile {profile_json()}")
    print()
    for label, text in SAMPLES:
        print_top(f"{label} sample", text, args.top)
        print()
