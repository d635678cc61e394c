"""Twenty clients poking at once."""
import collections

from harness.dde import SERVICE, start_client

CLIENTS = 20
SENDS = 5


def number(i):
    return f"1390000{i:04d}"


def test_twenty_clients_poking_at_once(prefix, win_build, dde_host):
    # Num, SMS and Send are shared by every client, so a client that wants
    # its own triple to stay together holds a lock around it (as several
    # senders on one machine must); the server sees twenty conversations
    # with transactions arriving from all of them.
    clients = []
    for i in range(CLIENTS):
        cmds = [f"connect {SERVICE} SMS0", "echo connected"]
        for k in range(SENDS):
            cmds += ["lock varnix-dde-load", f"poke Num {number(i)}",
                     f"poke SMS c{i}m{k}", "poke Send 1", "unlock varnix-dde-load"]
        clients.append(start_client(prefix, win_build, *cmds))
    for c in clients:
        out = c.finish(timeout=180)
        assert out.words("poke") == ["ack"] * (3 * SENDS), out.text
    queued = dde_host.wait_queued(CLIENTS * SENDS, timeout=30)
    queued = dde_host.settle_queue()
    assert len(queued) == CLIENTS * SENDS
    counts = collections.Counter(queued)
    expected = {f"{number(i)},c{i}m{k}".encode()
                for i in range(CLIENTS) for k in range(SENDS)}
    assert set(counts) == expected
    assert set(counts.values()) == {1}
    for i in range(CLIENTS):
        mine = [e for e in queued if e.startswith(number(i).encode() + b",")]
        assert mine == [f"{number(i)},c{i}m{k}".encode() for k in range(SENDS)]

    # Without the lock the triples interleave, but every "1" still queues
    # exactly one well-formed entry.
    first = len(queued)
    clients = []
    for i in range(CLIENTS):
        cmds = [f"connect {SERVICE} SMS0"]
        for k in range(SENDS):
            cmds += [f"poke Num {number(i)}", f"poke SMS c{i}m{k}", "poke Send 1"]
        clients.append(start_client(prefix, win_build, *cmds))
    for c in clients:
        out = c.finish(timeout=180)
        assert out.words("poke") == ["ack"] * (3 * SENDS), out.text
    dde_host.wait_queued(first + CLIENTS * SENDS, timeout=30)
    queued = dde_host.settle_queue()
    assert len(queued) == first + CLIENTS * SENDS
    numbers = {number(i).encode() for i in range(CLIENTS)}
    for entry in queued[first:]:
        num, text = entry.split(b",", 1)
        assert num in numbers and text in expected_texts()


def expected_texts():
    return {f"c{i}m{k}".encode() for i in range(CLIENTS) for k in range(SENDS)}
