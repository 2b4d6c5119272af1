# PowerShell and Pester for the detection script's tests, from NuGet through the .NET SDK (Debian
# ships neither): their pinned versions, and where the SDK's restore puts them. Sourced by
# scripts/install-deps and tests/deploy/run; the functions need dotnet on PATH.
nuget_dir=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
nuget_root=$(cd "$nuget_dir/../.." && pwd)
export DOTNET_NOLOGO=1 DOTNET_CLI_TELEMETRY_OPTOUT=1
# The manifest's "powershell" version, and the restore project's Pester version.
pwsh_version=$(sed -n '/"powershell"/,/}/s/.*"version": *"\([^"]*\)".*/\1/p' "$nuget_root/.config/dotnet-tools.json")
pester_version=$(sed -n 's/.*Include="Pester" Version="\[\([^]]*\)\]".*/\1/p' "$nuget_dir/pester.proj")

nuget_packages() { dotnet nuget locals global-packages --list | sed 's/^global-packages: *//; s:/*$::'; }
pester_module() { echo "$(nuget_packages)/pester/$pester_version/tools/Pester.psd1"; }
have_pwsh() { [ -d "$(nuget_packages)/powershell/$pwsh_version" ]; }
have_pester() { [ -f "$(pester_module)" ]; }
# PowerShell for Windows (windows-host) needs the SDK's package; its restore brings the rest.
have_windows_host() { [ -d "$(nuget_packages)/microsoft.powershell.sdk/$pwsh_version" ]; }
# Restores both into the user's NuGet cache; the restore project's own files go to a throwaway
# folder, not beside it.
install_pwsh() { (cd "$nuget_root" && dotnet tool restore); }
install_pester() {
  local obj
  obj=$(mktemp -d)
  dotnet restore "$nuget_dir/pester.proj" -p:BaseIntermediateOutputPath="$obj/" &&
    rm -rf "$obj"
}
# publish_windows_host WORK: PowerShell for Windows published self-contained into WORK/windows-host,
# its build files beside it in WORK, for the tests that run it under Wine 10.
publish_windows_host() {
  dotnet publish "$nuget_dir/windows-host" -c Release -o "$1/windows-host" --nologo -v q -p:PowerShellVersion="$pwsh_version" \
    -p:BaseIntermediateOutputPath="$1/windows-host-build/obj/" -p:BaseOutputPath="$1/windows-host-build/bin/" ||
    { echo "FAILED: publishing PowerShell for Windows (tests/deploy/windows-host); scripts/install-deps restores its packages"; return 1; }
}
install_windows_host() {
  local obj
  obj=$(mktemp -d)
  dotnet restore "$nuget_dir/windows-host" -p:PowerShellVersion="$pwsh_version" -p:BaseIntermediateOutputPath="$obj/" && rm -rf "$obj"
}
