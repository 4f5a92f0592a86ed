"""Builds the small car/cart/cat/dog index and shows what it holds.

Run it after installing the package:  python examples/car_index.py
"""
import uuid

from _tessaloom import PrefixSearch

# One node per distinct prefix, children grouped per parent:
#   0 ''  1 c  2 d  3 ca  4 do  5 car  6 cat  7 dog  8 cart
texts = ["", "c", "d", "ca", "do", "car", "cat", "dog", "cart"]
children = {0: [1, 2], 1: [3], 2: [4], 3: [5, 6], 4: [7], 5: [8]}

node_shifts, child_transitions = [], []
for node in range(len(texts)):
    node_shifts.append(len(child_transitions))
    child_transitions.extend(children.get(node, []))
child_labels = [text[-1:] for text in texts]

videos = [uuid.uuid5(uuid.NAMESPACE_URL, f"video/{name}") for name in ("cars", "cats", "dogs")]
payloads = [None] * len(texts)
payloads[texts.index("car")] = (3, [0], [3])
payloads[texts.index("cart")] = (1, [0], [1])
payloads[texts.index("cat")] = (5, [1], [5])
payloads[texts.index("dog")] = (4, [2], [4])

index = PrefixSearch.from_internal_data_v2(
    node_shifts, child_labels, payloads, child_transitions, [v.bytes for v in videos], 10
)
print(f"built an index of {len(texts)} nodes over {len(videos)} videos: {index!r}")
