"""Builds the small car/cart/cat/dog index from flat arrays by hand and
queries it.

Run it after installing the package:  python examples/car_index.py
(`tessaloom.build_index` makes these arrays for you from (term, video, count)
entries; this example shows what they are.)
"""

import uuid
from typing import Dict, List, Optional, Tuple

from _tessaloom import PrefixSearch

# One node per distinct prefix, children grouped per parent:
#   0 ''  1 c  2 d  3 ca  4 do  5 car  6 cat  7 dog  8 cart
texts = ["", "c", "d", "ca", "do", "car", "cat", "dog", "cart"]
children: Dict[int, List[int]] = {0: [1, 2], 1: [3], 2: [4], 3: [5, 6], 4: [7], 5: [8]}

node_shifts: List[int] = []
child_transitions: List[int] = []
for node in range(len(texts)):
    node_shifts.append(len(child_transitions))
    child_transitions.extend(children.get(node, []))
child_labels = [text[-1:] for text in texts]

names = ("cars", "cats", "dogs")
videos = [uuid.uuid5(uuid.NAMESPACE_URL, f"video/{name}") for name in names]
payloads: List[Optional[Tuple[int, List[int], List[int]]]] = [None] * len(texts)
payloads[texts.index("car")] = (3, [0], [3])
payloads[texts.index("cart")] = (1, [0], [1])
payloads[texts.index("cat")] = (5, [1], [5])
payloads[texts.index("dog")] = (4, [2], [4])

index = PrefixSearch.from_internal_data_v2(
    node_shifts, child_labels, payloads, child_transitions, [v.bytes for v in videos], 10
)
print(f"built an index of {len(texts)} nodes over {len(videos)} videos")

# Every node whose whole text is within one edit of 'cat', in walk order:
# [('ca', 1, 1), ('car', 1, 1), ('cart', 1, 1), ('cat', 1, 0)]
print("fuzzy_match('cat'):", index.fuzzy_match("cat"))

video_names = {str(video): name for video, name in zip(videos, names)}
for video_id, score in index.fuzzy_match_video("cat"):
    print(f"  {video_names[video_id]}: {score:.3f}")
