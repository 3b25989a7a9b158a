"""Small pieces shared by the engine's test files."""


def at(operation, *lines):
    """Expected entries of one operation ("DAGEngine.evaluate"), outermost
    first."""
    return [(f"tarn.tarnwick.{operation}", "tarn/tarnwick", n) for n in lines]


class Boom(Exception):
    pass


def boom(*args):
    raise Boom("boom")


def ident(obj):
    return obj


class Collider:
    """A registry key that hashes like `name`: looking `name` up compares
    it with this key, which calls `on_eq`."""

    def __init__(self, name, on_eq):
        self.name, self.on_eq = name, on_eq

    def __hash__(self):
        return hash(self.name)

    def __eq__(self, other):
        return self.on_eq()


def subclass(base, *ops, log, result=None, delegate=False):
    """A script subclass of `base` replacing `ops`. Each replacement logs
    (op, receiver, *arguments), nodes by name, then returns `result`, or
    with `delegate` what the inherited operation returns."""
    def replacement(op):
        def method(self, *args):
            log.append((op, *(getattr(a, "name", a) for a in (self, *args))))
            return getattr(super(cls, self), op)(*args) if delegate else result
        return method
    cls = type("Sub", (base,), {op: replacement(op) for op in ops})
    return cls
