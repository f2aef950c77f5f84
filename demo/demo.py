"""What `make demo` shows: the package and what its module registers."""

import inspect

import tev


def main() -> None:
    print(tev.__doc__)
    print()
    print("exceptions:")
    for name in tev.__all__:
        obj = getattr(tev, name)
        if isinstance(obj, type) and issubclass(obj, BaseException):
            base = obj.__bases__[0].__name__
            print(f"  {name:<20} ({base}) {obj.__doc__}")
    print("functions:")
    for name in tev.__all__:
        obj = getattr(tev, name)
        if callable(obj) and not isinstance(obj, type):
            print(f"  {name}{inspect.signature(obj)}")
    print("classes:")
    for name in tev.__all__:
        obj = getattr(tev, name)
        if isinstance(obj, type) and not issubclass(obj, BaseException):
            print(f"  {name:<20} {obj.__doc__}")


if __name__ == "__main__":
    main()
