"""Type information for the `_tessaloom` extension module.

An immutable fuzzy-prefix search index over a trie stored as flat arrays.
Integers given to the index are unsigned 32-bit values: a negative one or one
above 4294967295 raises OverflowError.
"""

from typing import Optional, Sequence, SupportsIndex, Tuple, Union, final

# (total_count, video_ids, video_counts); video_ids and video_counts have the
# same length.  Any tuple subclass of three items is accepted.
_PayloadArg = Tuple[SupportsIndex, Sequence[SupportsIndex], Sequence[SupportsIndex]]

# A 16-byte video identifier: bytes, or a sequence of 16 ints from 0 to 255.
_VideoIdArg = Union[bytes, Sequence[SupportsIndex]]

@final
class PrefixSearch:
    """Not constructible directly: use `from_internal_data_v2` or
    `from_bytes`.  Instances never change after construction."""

    @staticmethod
    def from_internal_data_v2(
        node_shifts: Sequence[SupportsIndex],
        child_labels: Sequence[str],
        payloads: Sequence[Optional[_PayloadArg]],
        child_transitions: Sequence[SupportsIndex],
        video_index: Sequence[_VideoIdArg],
        video_top_n: SupportsIndex,
    ) -> PrefixSearch:
        """Builds an index from the trie's flat arrays (one entry per node in
        `node_shifts`, `child_labels` and `payloads`), then merges payloads
        toward the root keeping at most `video_top_n` videos per node.
        Raises ValueError for inconsistent arrays."""

    def to_bytes(self) -> bytes:
        """The index in its saved byte form."""

    @staticmethod
    def from_bytes(b: bytes) -> PrefixSearch:
        """An index read from the output of `to_bytes`; bytes after the
        record are ignored.  Raises ValueError ("decode error: ...")."""

    def fuzzy_match(
        self, term: str, max_dist: SupportsIndex = 1, limit: Optional[SupportsIndex] = None
    ) -> list[tuple[str, int, int]]:
        """(node text, 1, distance) for every node whose whole text is within
        `max_dist` edits of `term`, in depth-first walk order (ascending
        text), cut to the first `limit` results."""

    def fuzzy_match_video(
        self, term: str, max_dist: SupportsIndex = 1, limit: Optional[SupportsIndex] = None
    ) -> list[tuple[str, float]]:
        """(video id text, score) for the videos of the matched nodes whose
        share is at least 0.01, best first.  `limit` caps the matched nodes
        that feed the ranking, not the videos returned."""
