"""The demo: prints this machine's hardware profile (grows with the project)."""
import ferrolune


def main() -> None:
    profile = ferrolune.profile_hardware()
    print(profile)
    print(profile.to_json())


if __name__ == "__main__":
    main()
