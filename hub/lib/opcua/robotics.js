// The robots in the robotics companion model (namespace
// http://opcfoundation.org/UA/Robotics/, on DI and IA, from the nodesets
// node-opcua ships), beside the flat NodeIds: one MotionDeviceSystem under
// Objects/DeviceSet, each robot a MotionDevice with its Axes, each axis's
// ParameterSet/ActualPosition carrying what the flat axis node carries.
//
// What the model makes mandatory and the jog window cannot tell (the speed
// override, the safety state's stops and mode, the controller's software) is
// there, kept to its minimum: properties with the configured or documented
// texts, and variables without a value, with BadNotSupported.
"use strict";

const ROBOTICS = "http://opcfoundation.org/UA/Robotics/";
const DI = "http://opcfoundation.org/UA/DI/";
// The texts a robot's MotionDevice says unless the configuration gives its own.
const HUB_VERSION = require("../../package.json").version;
const DEVICE_DEFAULTS = {manufacturer: "Draxion3 host", model: "simulated robot", product_code: "draxion-simulated-robot"};

// The nodesets the server loads, in their order of dependence: the hub's own
// namespace first of all after the standard's, so that it keeps its index.
const nodesetsOf = (opcua) => [opcua.nodesets.standard, require("path").join(__dirname, "draxion.NodeSet2.xml"),
                               opcua.nodesets.di, opcua.nodesets.ia, opcua.nodesets.robotics];

// An enumeration's value by its name ("ARTICULATED_ROBOT"), from the model's own definition.
function enumValue(addressSpace, ns, typeName, name) {
  const definition = addressSpace.findDataType(typeName, ns).getEnumDefinition();
  const field = definition.fields.find((f) => f.name === name);
  if (!field) throw new Error(typeName + " has no " + name);
  return Array.isArray(field.value) ? field.value[1] : Number(field.value);  // an Int64 as [high, low]
}

// {addDevice(settings) => [ActualPosition variables, axis by axis]}: the system,
// named system, under DeviceSet.
function makeMotionDeviceSystem(opcua, addressSpace, namespace, system, machine) {
  const {DataType, StatusCodes} = opcua;
  const ns = addressSpace.getNamespaceIndex(ROBOTICS);
  const deviceSet = addressSpace.rootFolder.objects.getFolderElementByName("DeviceSet", addressSpace.getNamespaceIndex(DI));
  const type = (name) => addressSpace.findObjectType(name, ns) || addressSpace.findObjectType(name, addressSpace.getNamespaceIndex(DI));
  const part = (node, name) => node.getComponentByName(name, ns) || node.getPropertyByName(name, ns) ||
    node.getComponentByName(name) || node.getPropertyByName(name);
  const unknown = (variable) => variable.setValueFromSource({dataType: DataType.Null}, StatusCodes.BadNotSupported);
  // DI's identification: Manufacturer and Model are localized texts, the codes plain ones.
  const identify = (node, t) => {
    for (const [name, value] of [["Manufacturer", t.manufacturer], ["Model", t.model]])
      part(node, name).setValueFromSource({dataType: DataType.LocalizedText, value: {text: value}});
    for (const [name, value] of [["ProductCode", t.product_code], ["SerialNumber", t.serial_number]])
      if (part(node, name)) part(node, name).setValueFromSource({dataType: DataType.String, value});
  };

  const root = type("MotionDeviceSystemType").instantiate({browseName: system, organizedBy: deviceSet, namespace});
  const controller = type("ControllerType").instantiate({browseName: "Controller", componentOf: part(root, "Controllers"),
                                                         namespace});
  identify(controller, {manufacturer: DEVICE_DEFAULTS.manufacturer, model: "Draxion hub",
                        product_code: "draxion-hub", serial_number: machine});
  const software = type("SoftwareType").instantiate({browseName: "hub", componentOf: part(controller, "Software"),
                                                     namespace});
  identify(software, {manufacturer: "Draxion gateway", model: "Draxion hub"});
  part(software, "SoftwareRevision").setValueFromSource({dataType: DataType.String, value: HUB_VERSION});
  part(part(controller, "CurrentUser"), "Level").setValueFromSource({dataType: DataType.String, value: "operator"});
  // A task control, as the model asks for one: no program is known.
  const task = type("TaskControlType").instantiate({browseName: "TaskControl", componentOf: part(controller, "TaskControls"),
                                                    namespace});
  part(task, "ComponentName").setValueFromSource({dataType: DataType.LocalizedText, value: {text: "jog"}});
  const taskParameters = part(task, "ParameterSet");
  part(taskParameters, "TaskProgramName").setValueFromSource({dataType: DataType.String, value: ""});
  part(taskParameters, "TaskProgramLoaded").setValueFromSource({dataType: DataType.Boolean, value: false});
  const safety = type("SafetyStateType").instantiate({browseName: "SafetyState", componentOf: part(root, "SafetyStates"),
                                                      namespace});
  const safetyParameters = part(safety, "ParameterSet");
  ["EmergencyStop", "ProtectiveStop", "OperationalMode"].forEach((n) => unknown(part(safetyParameters, n)));

  function addDevice(settings) {
    const device = type("MotionDeviceType").instantiate({browseName: settings.name, componentOf: part(root, "MotionDevices"),
                                                         namespace});
    const d = settings.device;
    identify(device, d);
    part(device, "MotionDeviceCategory").setValueFromSource({
      dataType: DataType.Int32, value: enumValue(addressSpace, ns, "MotionDeviceCategoryEnumeration", d.category)});
    unknown(part(part(device, "ParameterSet"), "SpeedOverride"));
    const powerTrain = type("PowerTrainType").instantiate({browseName: "PowerTrain", componentOf: part(device, "PowerTrains"),
                                                           namespace});
    // Its motor, as the model asks for one: identified as the robot is; its temperature unknown.
    const motor = type("MotorType").instantiate({browseName: "Motor", componentOf: powerTrain, namespace});
    identify(motor, d);
    unknown(part(part(motor, "ParameterSet"), "MotorTemperature"));
    const positions = [];
    for (let k = 1; k <= 6; ++k) {
      const axis = type("AxisType").instantiate({browseName: "axis" + k, componentOf: part(device, "Axes"), namespace,
                                                 optionals: ["ParameterSet.ActualPosition"]});
      part(axis, "MotionProfile").setValueFromSource({
        dataType: DataType.Int32, value: enumValue(addressSpace, ns, "AxisMotionProfileEnumeration", d.profiles[k - 1])});
      const position = part(part(axis, "ParameterSet"), "ActualPosition");
      const unit = d.units[k - 1];
      position.getPropertyByName("EngineeringUnits").setValueFromSource({
        dataType: DataType.ExtensionObject, value: opcua.makeEUInformation(unit.code, unit.symbol, unit.name)});
      const limits = d.limits[k - 1];
      if (limits) {
        namespace.addVariable({
          propertyOf: position, browseName: {name: "EURange", namespaceIndex: 0}, typeDefinition: "PropertyType",
          dataType: "Range", accessLevel: "CurrentRead",
          value: {dataType: DataType.ExtensionObject, value: new opcua.Range({low: limits[0], high: limits[1]})},
        });
      }
      position.everyChange = true;
      positions.push(position);
    }
    return positions;
  }
  return {addDevice};
}

module.exports = {makeMotionDeviceSystem, nodesetsOf, DEVICE_DEFAULTS, ROBOTICS};
